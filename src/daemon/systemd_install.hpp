#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon_install_files.hpp"

// What the installer puts in place on Linux: a systemd unit that keeps nimbrad running as root,
// and the scripts that install or remove it with the executable, run once as root through pkexec
// (or directly when we already are root). Every place the scripts touch and every tool they run
// is a field of Targets, so the tests aim them at a temporary root and fake tools.
namespace nimbra::systemd {

inline constexpr const char* kUnitName = "nimbra-daemon.service";

struct Targets {
    std::filesystem::path libexecDirectory = "/usr/local/libexec";
    std::filesystem::path unitDirectory = "/etc/systemd/system";
    std::string systemctl = "/usr/bin/systemctl";
    std::string pkexec = "/usr/bin/pkexec";
    std::string bash = "/bin/bash";
    // Owner and group of the installed files (a name or a number).
    std::string owner = "root";
    std::string group = "root";
    // Already root: the scripts run directly, without a prompt.
    bool asRoot = false;
    // The daemon's state folder, as systemd's StateDirectory= names it (under /var/lib), and the
    // resolver file it points at its forwarder when systemd-resolved does not manage DNS. Both
    // are given to the daemon on its command line, so the sandbox and the daemon agree on them.
    std::string stateDirectoryName = "nimbrad";
    std::filesystem::path resolverFile = "/etc/resolv.conf";

    // A root-owned nimbrad a package put in place: the unit runs it where it is instead of a
    // copy in libexecDirectory (which still holds the usque copy).
    std::optional<std::filesystem::path> packagedExecutable;

    std::filesystem::path installedExecutable() const {
        return packagedExecutable ? *packagedExecutable : libexecDirectory / "nimbrad";
    }
    // The only usque the daemon runs: root's copy, beside it.
    std::filesystem::path installedUsque() const { return libexecDirectory / "nimbra-usque"; }
    std::filesystem::path unitFile() const { return unitDirectory / kUnitName; }
    std::filesystem::path stateDirectory() const {
        return std::filesystem::path("/var/lib") / stateDirectoryName;
    }
};

// How the installed daemon is started.
struct DaemonArguments {
    DaemonFiles files;
    std::string socket;
    // The user allowed to send commands besides root: the one who installed the daemon.
    uid_t allowedUid = 0;
};

// The unit: nimbrad kept running as root, confined to the capabilities of service_sandbox and
// to writing only its folders. Throws DaemonError (installFailed) for a path with a control
// character.
std::string unitFile(const Targets& targets, const DaemonArguments& arguments);

// Stops the old service (if any), installs the executable, the usque copy (when one is staged; an
// older copy stays otherwise) and the unit, enables and restarts it.
std::string installScript(const Targets& targets, const std::filesystem::path& stagedExecutable,
                          const std::filesystem::path& stagedUnit,
                          const std::optional<std::filesystem::path>& stagedUsque = std::nullopt);

// Stops and disables the service and removes the unit, the executable and the usque copy. The
// user's files (the daemon directory, usque's registration) stay.
std::string uninstallScript(const Targets& targets);

// Runs `command` as root: through pkexec, or directly when Targets::asRoot, then with
// `rootEnvironment` ("NAME=value") added to ours (what pkexec would have set). Throws
// DaemonError: installCanceled when the prompt was dismissed, installFailed for everything else
// (not authorised, no pkexec, the command failed).
void runAdmin(const Targets& targets, const std::vector<std::string>& command,
              const std::vector<std::string>& rootEnvironment = {});
// The same for a script, run by bash.
void runAdmin(const Targets& targets, const std::filesystem::path& script);

}  // namespace nimbra::systemd
