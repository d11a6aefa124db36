#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "daemon/daemon_install_files.hpp"

// What the installer puts in place on macOS: a launchd property list for the system domain and
// the script that installs it with the executable, run once as root through osascript. Plain
// text generation with no Apple API, so it is built and tested everywhere.
namespace nimbra::launchd {

inline constexpr const char* kLabel = "com.nimbra.daemon";
inline constexpr const char* kInstalledExecutable = "/usr/local/libexec/nimbrad";
// The daemon's default -usque path, so the property list need not name it.
inline constexpr const char* kInstalledUsque = "/usr/local/libexec/nimbra-usque";
inline constexpr const char* kServiceDefinition = "/Library/LaunchDaemons/com.nimbra.daemon.plist";
// launchd opens it as root and follows links: in a folder every user may write to (/tmp), anyone
// could plant a link there first and have root append to, or create, a file of their choosing.
inline constexpr const char* kBootLog = "/var/log/nimbrad.boot.log";
inline constexpr const char* kOsascript = "/usr/bin/osascript";

// The property list, without a line feed after "</plist>".
std::string propertyList(const DaemonFiles& files);

// install.sh for the staged executable, usque copy (when one is staged) and property list, without
// a final line feed.
std::string installScript(const std::filesystem::path& stagedExecutable,
                          const std::filesystem::path& stagedPropertyList,
                          const std::optional<std::filesystem::path>& stagedUsque = std::nullopt);

// Runs `script` as root through osascript's administrator prompt and waits for it. Throws
// DaemonError: installCanceled when the user dismissed the prompt, installFailed otherwise.
void runAdmin(const std::filesystem::path& script, const std::string& osascript = kOsascript);

}  // namespace nimbra::launchd
