#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "daemon/daemon_config.hpp"
#include "daemon/daemon_install_files.hpp"
#include "daemon/launchd_files.hpp"
#include "daemon/packaged_daemon.hpp"
#include "daemon/systemd_install.hpp"
#include "model/app_preferences.hpp"

namespace nimbra {

// Everything ensureInstalled() and uninstall() touch, so tests can aim them at a temporary root,
// fake tools and a short socket wait. standard() gives the real values for the running user.
struct DaemonInstallOptions {
    // Executables to install, tried in order; the first executable file wins.
    std::vector<std::filesystem::path> candidates;
    // The usque program whose root-owned copy the daemon runs (it runs no other); nullopt when
    // none was found, and nimbrad is installed without one.
    std::optional<std::filesystem::path> usque;
    // The installing user: whose work directory the daemon reads, and who may command it.
    std::filesystem::path workDirectory;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string socketPath;
    // The config.yml written when the daemon directory has none yet.
    DaemonConfigValues initialConfig;
    systemd::Targets systemd;
    std::string osascript = launchd::kOsascript;
    // Waiting for the new daemon's socket: this many pings, this pause after each failed one.
    int socketAttempts = 50;
    std::chrono::milliseconds socketRetry{200};
    // "Does the daemon answer?"; by default a "ping" on socketPath.
    std::function<bool()> ping;
    // Told each step as it starts, in English, for nimbra-cli to print.
    std::function<void(const std::string&)> onStep;
    // Set when Nimbra runs from its package: the service runs the package's nimbrad in place,
    // and the package's root helper, not a staged script, installs it (one prompt naming what
    // it authorises).
    std::optional<PackagedDaemon> packaged;
    // A daemon someone started by hand on a socket of their own (NIMBRA_DAEMON_SOCKET): nothing
    // is installed over it; ensureInstalled() only checks that it answers.
    bool startedElsewhere = false;

    // The real locations for the user running this program. Run as root through sudo, that is
    // the user who called sudo, not root.
    static DaemonInstallOptions standard();
};

enum class DaemonInstallOutcome {
    upToDate,   // the same executable was installed and answering: nothing was done
    installed,  // installed (or replaced) and answering
};

// Puts nimbrad in place as a system service and keeps its configuration in step with the
// preferences. Every operation blocks (file I/O, an administrator prompt, a socket wait): run
// them on the blocking pool, never on the core or GUI thread.
namespace DaemonInstaller {

// The platform's executable candidates, in the order they are tried.
std::vector<std::filesystem::path> defaultCandidates();

// The first candidate that is an executable file. Throws DaemonError::BinaryNotFound.
std::filesystem::path resolveBinary(const std::vector<std::filesystem::path>& candidates);

// Unless the daemon answers and the installed copies of nimbrad and usque (and, on Linux, its unit)
// are identical to what would be installed, installs it with one administrator prompt and waits
// until its socket answers. Throws DaemonError (binaryNotFound, installCanceled, installFailed) or
// the file system's std::filesystem::filesystem_error / std::system_error.
DaemonInstallOutcome ensureInstalled(const DaemonInstallOptions& options);
// The same with launchd and osascript, as on macOS; built everywhere so it is tested everywhere.
DaemonInstallOutcome ensureInstalledWithLaunchd(const DaemonInstallOptions& options);
DaemonInstallOutcome ensureInstalledWithSystemd(const DaemonInstallOptions& options);
inline DaemonInstallOutcome ensureInstalled() {
    return ensureInstalled(DaemonInstallOptions::standard());
}

// Stops the service and removes it, the executable and the usque copy (Linux), with one
// administrator prompt. The user's daemon directory and registration stay. Throws like
// ensureInstalled().
void uninstall(const DaemonInstallOptions& options);

// Rewrites the daemon's config.yml from the preferences (keeping the daemon's excludes) and
// points usque's registration at the chosen exit gateway. Never throws; a failed write leaves the
// old file.
void syncPreferences(const AppPreferences& preferences, const std::filesystem::path& workDirectory);
void syncPreferences();

// Sets "endpoint_v6" in usque's registration for the gateway `nat64Prefix` ("none" or empty:
// the provider's own IPv6 endpoint). Never throws.
void updateUsqueConfigEndpoint(const std::string& nat64Prefix,
                               const std::filesystem::path& workDirectory);
void updateUsqueConfigEndpoint(const std::string& nat64Prefix);

}  // namespace DaemonInstaller
}  // namespace nimbra
