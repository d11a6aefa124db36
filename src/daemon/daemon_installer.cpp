#include "daemon/daemon_installer.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "base/atomic_file.hpp"
#include "base/log.hpp"
#include "base/paths.hpp"
#include "daemon/daemon_client.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_install_text.hpp"
#include "daemon/daemon_socket.hpp"
#include "daemon/user_folder.hpp"
#include "engine/registration_endpoint.hpp"
#include "engine/usque_locator.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;

// One platform's way of running the daemon: the files it installs and how it gets root.
struct ServicePlan {
    fs::path installedExecutable;
    fs::path installedUsque;
    // Compared byte for byte in the up-to-date check when set.
    std::optional<fs::path> installedDefinition;
    std::string definitionName;
    std::string definition;
    std::function<std::string(const fs::path& executable, const fs::path& definition,
                              const std::optional<fs::path>& usque)>
        script;
    std::function<void(const fs::path& script)> runAdmin;
    // The package's root helper and its arguments, run as root instead of a staged script.
    std::optional<std::vector<std::string>> helperCommand;
    std::function<void(const std::vector<std::string>& command)> runHelper;
    std::string adminStep;
    std::string notReadyText;
};

bool isExecutableFile(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

void step(const DaemonInstallOptions& options, const std::string& text) {
    if (options.onStep) options.onStep(text);
}

bool ping(const DaemonInstallOptions& options) {
    if (options.ping) return options.ping();
    return DaemonClient::isReachable(options.socketPath);
}

bool sameExecutable(const fs::path& installed, const fs::path& wanted) {
    if (!isExecutableFile(installed)) return false;
    const auto installedDigest = daemon_install::sha256OfFile(installed);
    const auto wantedDigest = daemon_install::sha256OfFile(wanted);
    return installedDigest && wantedDigest && *installedDigest == *wantedDigest;
}

bool isUpToDate(const DaemonInstallOptions& options, const ServicePlan& plan,
                const fs::path& binary) {
    if (!ping(options) || !sameExecutable(plan.installedExecutable, binary)) return false;
    if (options.usque && !sameExecutable(plan.installedUsque, *options.usque)) return false;
    if (plan.installedDefinition) {
        const auto current = readWholeFile(*plan.installedDefinition);
        if (!current || *current != plan.definition) return false;
    }
    return true;
}

// Run as root for another user (sudo), what we create in their home must stay theirs; run as
// the user, it is theirs already.
std::optional<user_folder::Owner> ownerToHandTo(const DaemonInstallOptions& options) {
    if (::geteuid() != 0 || options.uid == 0) return std::nullopt;
    return user_folder::Owner{options.uid, options.gid};
}

// A private directory for the files the administrator script installs, removed on every way out.
class StagingDirectory {
public:
    StagingDirectory() {
        const fs::path parent = paths::runtimeDirectory();
        fs::create_directories(parent);
        std::string pattern = (parent / "nimbra-daemon-install-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
        }
        path_ = pattern;
    }
    ~StagingDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    StagingDirectory(const StagingDirectory&) = delete;
    StagingDirectory& operator=(const StagingDirectory&) = delete;

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void setExecutable(const fs::path& path) {
    fs::permissions(path, fs::perms(0755), fs::perm_options::replace);
}

// Copies the program, usque and the service definition into a private folder and has the plan's
// script install them from there as root.
void runStagedScript(const DaemonInstallOptions& options, const ServicePlan& plan,
                     const fs::path& binary) {
    const StagingDirectory staging;
    const fs::path stagedExecutable = staging.path() / "nimbrad";
    fs::remove(stagedExecutable);
    fs::copy_file(binary, stagedExecutable);
    setExecutable(stagedExecutable);
    std::optional<fs::path> stagedUsque;
    if (options.usque) {
        stagedUsque = staging.path() / "nimbra-usque";
        fs::copy_file(*options.usque, *stagedUsque);
        setExecutable(*stagedUsque);
    }
    const fs::path stagedDefinition = staging.path() / plan.definitionName;
    writeFileAtomically(stagedDefinition, plan.definition);
    const fs::path script = staging.path() / "install.sh";
    writeFileAtomically(script, plan.script(stagedExecutable, stagedDefinition, stagedUsque));
    setExecutable(script);
    plan.runAdmin(script);
}

DaemonInstallOutcome install(const DaemonInstallOptions& options, const ServicePlan& plan) {
    const fs::path binary = DaemonInstaller::resolveBinary(options.candidates);
    step(options, "nimbrad to install: " + binary.string());
    if (options.usque) {
        step(options, "usque to install as " + plan.installedUsque.string() + ": " +
                          options.usque->string());
    } else {
        // nimbrad is installed all the same: it answers ping and status and its "start" names the
        // missing program, which tells the user more than an install failing over a program they
        // may fetch later. A copy an earlier install left stays (only a staged one is installed).
        step(options,
             "no usque found: the tunnel needs usque (scripts/fetch-usque) and then "
             "`nimbra-cli daemon install` again");
    }
    if (isUpToDate(options, plan, binary)) {
        step(options,
             plan.installedExecutable.string() + " is the same build and answers; nothing to do");
        return DaemonInstallOutcome::upToDate;
    }

    const DaemonFiles files = DaemonFiles::in(options.workDirectory);
    const auto owner = ownerToHandTo(options);
    if (!fs::exists(files.directory)) {
        if (owner) {
            user_folder::create(files.directory, *owner);
        } else {
            fs::create_directories(files.directory);
        }
    }
    if (!fs::exists(files.config)) {
        step(options, "writing a first " + files.config.string());
        writeFileAtomically(files.config, defaultDaemonConfigText(options.initialConfig));
        if (owner) user_folder::handOver(files.config, *owner);
    }

    step(options, plan.adminStep);
    if (plan.helperCommand) {
        plan.runHelper(*plan.helperCommand);
    } else {
        runStagedScript(options, plan, binary);
    }

    step(options, "waiting for nimbrad to answer on " + options.socketPath);
    for (int attempt = 0; attempt < options.socketAttempts; ++attempt) {
        if (ping(options)) {
            step(options, "nimbrad answers on " + options.socketPath);
            return DaemonInstallOutcome::installed;
        }
        std::this_thread::sleep_for(options.socketRetry);
    }
    throw DaemonError(DaemonError::InstallFailed{plan.notReadyText});
}

systemd::DaemonArguments daemonArguments(const DaemonInstallOptions& options,
                                         const fs::path& workDirectory) {
    return {DaemonFiles::in(workDirectory), options.socketPath, options.uid};
}

// What pkexec would tell the helper, for a caller that already is root and runs it directly.
std::vector<std::string> helperEnvironment(const DaemonInstallOptions& options) {
    return {"PKEXEC_UID=" + std::to_string(options.uid)};
}

// The package's helper installs the unit the plan compares with; it refuses a path through a
// link, so it is given the folder and usque where they really are.
void planPackagedInstall(const DaemonInstallOptions& options, const systemd::Targets& targets,
                         const fs::path& workDirectory, ServicePlan& plan) {
    std::vector<std::string> command = {options.packaged->helper.string(), "install",
                                        workDirectory.string()};
    if (options.usque) command.push_back(fs::canonical(*options.usque).string());
    plan.helperCommand = std::move(command);
    plan.runHelper = [&targets, &options](const std::vector<std::string>& helperCommand) {
        systemd::runAdmin(targets, helperCommand, helperEnvironment(options));
    };
    const std::string usqueCopy =
        options.usque ? plan.installedUsque.string() + " and " : std::string();
    plan.adminStep =
        (targets.asRoot ? "installing " : "asking for administrator rights (pkexec) to install ") +
        usqueCopy + targets.unitFile().string() + ", which runs " +
        plan.installedExecutable.string();
}

std::optional<uid_t> sudoUid() {
    const char* text = std::getenv("SUDO_UID");
    if (text == nullptr) return std::nullopt;
    uid_t uid = 0;
    const char* end = text + std::char_traits<char>::length(text);
    const auto [rest, error] = std::from_chars(text, end, uid);
    if (error != std::errc() || rest != end || uid == 0) return std::nullopt;
    return uid;
}

std::vector<fs::path> candidatesFor(const fs::path& home) {
    std::vector<fs::path> candidates;
    std::error_code error;
#ifdef __APPLE__
    // The application bundle's resources, then the places a development checkout keeps it.
    try {
        candidates.push_back(paths::executableDirectory().parent_path() / "Resources" / "nimbrad");
    } catch (const fs::filesystem_error&) {
    }
    const fs::path cwd = fs::current_path(error);
    for (const char* relative : {"macos/daemon/bin/nimbrad", "macos/vendor/nimbrad",
                                 "daemon/bin/nimbrad", "vendor/nimbrad"}) {
        if (!error) candidates.push_back(cwd / relative);
    }
#else
    // Beside nimbra and nimbra-cli (a build's bin/), then a package's copy.
    try {
        candidates.push_back(paths::executableDirectory() / "nimbrad");
    } catch (const fs::filesystem_error&) {
    }
    candidates.push_back(fs::path(kPackagedLibexec) / kPackagedDaemonName);
#endif
    candidates.push_back(home / ".local" / "bin" / "nimbrad");
    return candidates;
}

// The usque the engine would run, else the caller's own copy (under sudo neither PATH nor HOME is
// theirs any more).
std::optional<fs::path> findUsque(const fs::path& home) {
    try {
        return usque_locator::resolve();
    } catch (const std::exception&) {
        // UsqueError (none found), or the lookup itself failed: fall back to the caller's copy.
    }
    const fs::path own = home / ".local" / "bin" / "usque";
    if (isExecutableFile(own)) return own;
    return std::nullopt;
}

// "a, b and c" for the step lines; usque's copy only when one is installed.
std::string fileList(const fs::path& executable, const std::optional<fs::path>& usque,
                     const std::string& definition) {
    return executable.string() + (usque ? ", " + usque->string() : std::string()) + " and " +
           definition;
}

}  // namespace

DaemonInstallOptions DaemonInstallOptions::standard() {
    DaemonInstallOptions options;
    options.uid = ::getuid();
    options.gid = ::getgid();
    options.workDirectory = paths::workDirectory();
    fs::path home = paths::homeDirectory();
    options.systemd.asRoot = ::geteuid() == 0;
#ifndef __APPLE__
    try {
        options.packaged = PackagedDaemon::find(paths::executableDirectory());
    } catch (const fs::filesystem_error&) {
        // No /proc: not the package's program, as far as we can tell.
    }
#endif
    if (const auto uid = options.systemd.asRoot ? sudoUid() : std::nullopt) {
        // sudo resets HOME and the XDG variables: the caller's files are found through the
        // password database.
        if (const passwd* user = ::getpwuid(*uid); user != nullptr && user->pw_dir != nullptr) {
            options.uid = user->pw_uid;
            options.gid = user->pw_gid;
            home = user->pw_dir;
            options.workDirectory = home / ".local" / "share" / "Nimbra";
        }
    }
    options.candidates =
        options.packaged ? std::vector<fs::path>{options.packaged->nimbrad} : candidatesFor(home);
    options.usque = findUsque(home);
    options.socketPath = daemonSocketPath();
    options.startedElsewhere = std::getenv("NIMBRA_DAEMON_SOCKET") != nullptr;
    options.initialConfig = DaemonConfigValues::from(AppPreferences::standard());
    return options;
}

namespace DaemonInstaller {

std::vector<fs::path> defaultCandidates() {
    return candidatesFor(paths::homeDirectory());
}

fs::path resolveBinary(const std::vector<fs::path>& candidates) {
    for (const auto& candidate : candidates) {
        if (isExecutableFile(candidate)) return candidate;
    }
    throw DaemonError(DaemonError::BinaryNotFound{});
}

DaemonInstallOutcome ensureInstalledWithSystemd(const DaemonInstallOptions& options) {
    systemd::Targets targets = options.systemd;
    fs::path workDirectory = options.workDirectory;
    if (options.packaged) {
        targets.packagedExecutable = options.packaged->nimbrad;
        workDirectory = fs::weakly_canonical(workDirectory);
    }
    ServicePlan plan;
    plan.installedExecutable = targets.installedExecutable();
    plan.installedUsque = targets.installedUsque();
    plan.installedDefinition = targets.unitFile();
    plan.definitionName = systemd::kUnitName;
    plan.definition = systemd::unitFile(targets, daemonArguments(options, workDirectory));
    plan.script = [&targets](const fs::path& executable, const fs::path& unit,
                             const std::optional<fs::path>& usque) {
        return systemd::installScript(targets, executable, unit, usque);
    };
    plan.runAdmin = [&targets](const fs::path& script) { systemd::runAdmin(targets, script); };
    const std::string files = fileList(
        plan.installedExecutable, options.usque ? std::optional(plan.installedUsque) : std::nullopt,
        targets.unitFile().string());
    plan.adminStep = targets.asRoot
                         ? "installing " + files
                         : "asking for administrator rights (pkexec) to install " + files;
    if (options.packaged) planPackagedInstall(options, targets, workDirectory, plan);
    plan.notReadyText =
        std::string("socket not ready after install — see journalctl -u ") + systemd::kUnitName;
    return install(options, plan);
}

DaemonInstallOutcome ensureInstalledWithLaunchd(const DaemonInstallOptions& options) {
    const DaemonFiles files = DaemonFiles::in(options.workDirectory);
    ServicePlan plan;
    plan.installedExecutable = launchd::kInstalledExecutable;
    plan.installedUsque = launchd::kInstalledUsque;
    plan.definitionName = std::string(launchd::kLabel) + ".plist";
    plan.definition = launchd::propertyList(files);
    plan.script = [](const fs::path& executable, const fs::path& propertyList,
                     const std::optional<fs::path>& usque) {
        return launchd::installScript(executable, propertyList, usque);
    };
    plan.runAdmin = [&options](const fs::path& script) {
        launchd::runAdmin(script, options.osascript);
    };
    plan.adminStep = "asking for administrator rights to install " +
                     fileList(plan.installedExecutable,
                              options.usque ? std::optional(plan.installedUsque) : std::nullopt,
                              launchd::kServiceDefinition);
    plan.notReadyText = std::string("socket not ready after install — see ") + launchd::kBootLog;
    return install(options, plan);
}

DaemonInstallOutcome ensureInstalled(const DaemonInstallOptions& options) {
    // Installing would put a service on the machine's own socket, not on this one, and replace
    // whatever the developer or the test is running there.
    if (options.startedElsewhere) {
        if (ping(options)) return DaemonInstallOutcome::upToDate;
        throw DaemonError(DaemonError::InstallFailed{
            "nothing answers on " + options.socketPath +
            " (set by NIMBRA_DAEMON_SOCKET), and a daemon started by hand is not installed over"});
    }
#ifdef __APPLE__
    return ensureInstalledWithLaunchd(options);
#else
    return ensureInstalledWithSystemd(options);
#endif
}

void uninstall(const DaemonInstallOptions& options) {
    const systemd::Targets& targets = options.systemd;
    const std::string asking =
        targets.asRoot ? "removing " : "asking for administrator rights (pkexec) to remove ";
    if (options.packaged) {
        step(options,
             asking + targets.unitFile().string() + " and " + targets.installedUsque().string());
        systemd::runAdmin(targets, {options.packaged->helper.string(), "uninstall"},
                          helperEnvironment(options));
        return;
    }
    const StagingDirectory staging;
    const fs::path script = staging.path() / "uninstall.sh";
    writeFileAtomically(script, systemd::uninstallScript(targets));
    setExecutable(script);
    step(options, asking + targets.unitFile().string() + ", " +
                      targets.installedExecutable().string() + " and " +
                      targets.installedUsque().string());
    systemd::runAdmin(targets, script);
}

void syncPreferences(const AppPreferences& preferences, const fs::path& workDirectory) {
    writeDaemonConfig(DaemonFiles::in(workDirectory).config, DaemonConfigValues::from(preferences));
    updateUsqueConfigEndpoint(preferences.nat64Prefix(), workDirectory);
}

void syncPreferences() {
    try {
        syncPreferences(AppPreferences::standard(), paths::workDirectory());
    } catch (const std::exception& failure) {
        logLine("daemon", std::string("preferences not synced: ") + failure.what());
    }
}

void updateUsqueConfigEndpoint(const std::string& nat64Prefix, const fs::path& workDirectory) {
    const EndpointRewrite rewrite =
        rewriteEndpointV6(DaemonFiles::in(workDirectory).registration, nat64Prefix);
    if (!rewrite.ok() && rewrite.outcome != EndpointRewriteOutcome::missingFile) {
        logLine("daemon", "registration left as it was: " + rewrite.reason);
    }
}

void updateUsqueConfigEndpoint(const std::string& nat64Prefix) {
    try {
        updateUsqueConfigEndpoint(nat64Prefix, paths::workDirectory());
    } catch (const std::exception& failure) {
        logLine("daemon", std::string("registration left as it was: ") + failure.what());
    }
}

}  // namespace DaemonInstaller
}  // namespace nimbra
