#include "daemon/systemd_install.hpp"

#include <unistd.h>

#include <cerrno>
#include <optional>
#include <stop_token>
#include <string_view>
#include <utility>

#include "base/stop_scope.hpp"
#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_install_text.hpp"
#include "daemon/service_sandbox.hpp"

namespace nimbra::systemd {
namespace {

using daemon_install::shellQuote;
using daemon_install::systemdArgument;
using daemon_install::systemdPath;

// pkexec's own exit codes; anything else is the script's.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

constexpr std::string_view kSudoHint = "run `sudo nimbra-cli daemon install`";

// Shared head of both scripts. The ERR trap turns every failing step into status 1 with the
// step named: a bash status of 126 or 127 (a missing tool) would otherwise read as pkexec's.
std::string scriptHead() {
    return "#!/bin/bash\n"
           "set -euo pipefail\n"
           "trap 'status=$?; echo \"step failed (status $status): $BASH_COMMAND\" >&2; exit 1' "
           "ERR\n";
}

std::string systemctl(const Targets& targets, std::string_view arguments) {
    return shellQuote(targets.systemctl) + " " + std::string(arguments) + "\n";
}

[[noreturn]] void installFailed(std::string message) {
    throw DaemonError(DaemonError::InstallFailed{std::move(message)});
}

// The service's confinement, one directive a line. Each one is here, or its absence explained,
// with the hazard it answers: a flaw in the daemon (it parses requests from local users, DNS
// answers from the network, files from a user's home) must not hand out the whole machine.
std::string sandbox(const Targets& targets, const DaemonArguments& arguments) {
    std::string capabilities;
    for (const auto& capability : service_sandbox::capabilities())
        capabilities += (capabilities.empty() ? "" : " ") + std::string(capability.name);
    const service_sandbox::Places places{arguments.socket, targets.stateDirectory(),
                                         targets.resolverFile, arguments.files.directory};
    std::string writable;
    for (const auto& folder : service_sandbox::writableFolders(places)) {
        // The user's folder may be gone (they reset their data); the daemon still starts,
        // answers, and names the missing file, rather than the unit failing to start at all.
        const bool optional = folder == places.userFolder.lexically_normal();
        writable += " " + std::string(optional ? "-" : "") + systemdPath(folder.string());
    }
    // Writable through ProtectKernelTunables= (the more specific path wins); "-": a kernel
    // without the setting still starts the service.
    for (const auto& setting : service_sandbox::writableKernelSettings())
        writable += " -" + systemdPath(setting.string());
    return
        // /var/lib/<name>, created (mode 0700) before the daemon starts: ProtectSystem=strict
        // leaves it no other way to make its state folder.
        "StateDirectory=" + targets.stateDirectoryName +
        "\n"
        "StateDirectoryMode=0700\n"
        // Only the capabilities the daemon and usque use (see service_sandbox). The daemon runs
        // as uid 0, whose effective set after exec is its bounding set: AmbientCapabilities= is
        // for services of another user and is not set. A User= other than root is not used:
        // root owns the resolver file and the state, and the daemon refuses to run as anyone
        // else.
        "CapabilityBoundingSet=" +
        capabilities +
        "\n"
        // No set-uid program or file capability can give the daemon, usque or resolvectl more.
        "NoNewPrivileges=yes\n"
        // The whole file system read-only, but for the folders the daemon writes: the socket's
        // (/run: the socket's path is fixed for every client, so the folder itself must be
        // writable to create it), the resolver file's (/etc: the file is replaced by a rename
        // beside it), its state folder and the user's daemon folder (config.yml, the log).
        "ProtectSystem=strict\n"
        // Its own mount namespace, so nothing it mounted (it mounts nothing) could reach the host.
        "PrivateMounts=yes\n"
        "ReadWritePaths=" +
        writable.substr(1) +
        "\n"
        // Every home read-only rather than hidden (tmpfs): the user's registration and config
        // are read in place from their home (a bind mount of a single file would keep an old
        // copy after the client replaces it), and only the daemon folder above is writable.
        // The daemon reaches them with the user's identity, so other users' private files stay
        // closed to it all the same.
        "ProtectHome=read-only\n"
        "PrivateTmp=yes\n"
        // PrivateDevices= would hide /dev/net/tun, which usque opens; the device list instead
        // allows that one device besides the harmless pseudo-devices.
        "DevicePolicy=closed\n"
        "DeviceAllow=/dev/net/tun rw\n"
        // Routes and rules go through netlink, not /proc/sys; nothing loads a module (the tun
        // module is loaded by the kernel itself on first use), reads the kernel log, changes
        // the cgroups, the clock or the host name.
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        // Other users' processes are hidden: the daemon looks only at its own usque (same
        // user). ProcSubset=pid is not set: the pid file's start token names the boot, read
        // from /proc/sys/kernel/random/boot_id.
        "ProtectProc=invisible\n"
        // The control socket and D-Bus (Unix), the forwarder and usque's MASQUE connection (IP),
        // routes, rules and links (netlink). No packet sockets.
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
        "RestrictNamespaces=yes\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        // Neither the daemon nor usque makes code at run time: Go compiles ahead of time and
        // its runtime never maps memory writable and executable at once.
        "MemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\n"
        // @system-service holds what a Go program needs (clone3, sigaltstack, sched_getaffinity,
        // rseq, pidfd_*) and setfsuid/setfsgid. ~@privileged is not added: it holds setfsuid,
        // which the daemon needs. A call outside the list fails with EPERM rather than killing
        // the process: Go's runtime probes for newer calls and falls back when refused.
        // Neither changes scheduling, priorities, memory policy or resource limits (@resources);
        // Go's runtime raises its open-file limit at start and carries on when refused.
        "SystemCallFilter=@system-service\n"
        "SystemCallFilter=~@resources\n"
        "SystemCallErrorNumber=EPERM\n"
        // Files the daemon creates (journals, the registration copy with its private key) are
        // root's alone; the socket gets its mode explicitly.
        "UMask=0077\n";
    // Not set, on purpose: PrivateNetwork= (the daemon routes the host's own network),
    // PrivateUsers= (its capabilities would count only inside a user namespace of its own),
    // IPAddressDeny= (usque reaches the provider and the forwarder any upstream),
    // DynamicUser=/RemoveIPC= (root).
}

}  // namespace

std::string unitFile(const Targets& targets, const DaemonArguments& arguments) {
    std::string execStart = systemdArgument(targets.installedExecutable().string());
    for (const std::string& argument :
         {std::string("-usque"), targets.installedUsque().string(), std::string("-config"),
          arguments.files.config.string(), std::string("-usque-config"),
          arguments.files.registration.string(), std::string("-sock"), arguments.socket,
          std::string("-listen"), std::string("127.0.0.1:53"), std::string("-log"),
          arguments.files.log.string(), std::string("-allow-uid"),
          std::to_string(arguments.allowedUid), std::string("-state-dir"),
          targets.stateDirectory().string(), std::string("-resolv-conf"),
          targets.resolverFile.string()}) {
        execStart += " " + systemdArgument(argument);
    }
    // No start limit: like launchd's KeepAlive, the service comes back however often it fails.
    return "[Unit]\n"
           "Description=Nimbra daemon (whole-machine tunnel)\n"
           "After=network-online.target\n"
           "Wants=network-online.target\n"
           "StartLimitIntervalSec=0\n"
           "\n"
           "[Service]\n"
           "Type=simple\n"
           "ExecStart=" +
           execStart +
           "\n"
           "Restart=always\n"
           "RestartSec=1\n" +
           sandbox(targets, arguments) +
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

std::string installScript(const Targets& targets, const std::filesystem::path& stagedExecutable,
                          const std::filesystem::path& stagedUnit,
                          const std::optional<std::filesystem::path>& stagedUsque) {
    const std::string install = "/usr/bin/install -o " + shellQuote(targets.owner) + " -g " +
                                shellQuote(targets.group) + " -m ";
    const auto installLine = [&](const char* mode, const std::filesystem::path& from,
                                 const std::filesystem::path& to) {
        return install + mode + " " + shellQuote(from.string()) + " " + shellQuote(to.string()) +
               "\n";
    };
    std::string script =
        scriptHead() + "/bin/mkdir -p " + shellQuote(targets.libexecDirectory.string()) + " " +
        shellQuote(targets.unitDirectory.string()) + "\n" +
        systemctl(targets, std::string("stop ") + kUnitName + " 2>/dev/null || true") +
        installLine("0755", stagedExecutable, targets.installedExecutable());
    if (stagedUsque) script += installLine("0755", *stagedUsque, targets.installedUsque());
    return script + installLine("0644", stagedUnit, targets.unitFile()) +
           systemctl(targets, "daemon-reload") +
           systemctl(targets, std::string("enable ") + kUnitName) +
           systemctl(targets, std::string("restart ") + kUnitName);
}

std::string uninstallScript(const Targets& targets) {
    return scriptHead() +
           systemctl(targets, std::string("disable --now ") + kUnitName + " 2>/dev/null || true") +
           "/bin/rm -f " + shellQuote(targets.unitFile().string()) + " " +
           shellQuote(targets.installedExecutable().string()) + " " +
           shellQuote(targets.installedUsque().string()) + "\n" +
           systemctl(targets, "daemon-reload") +
           systemctl(targets, std::string("reset-failed ") + kUnitName + " 2>/dev/null || true");
}

void runAdmin(const Targets& targets, const std::filesystem::path& script) {
    runAdmin(targets, {targets.bash, script.string()});
}

void runAdmin(const Targets& targets, const std::vector<std::string>& command,
              const std::vector<std::string>& rootEnvironment) {
    Subprocess::Options options;
    options.output = Subprocess::Output::joined;
    options.argv = command;
    if (targets.asRoot) {
        if (!rootEnvironment.empty()) {
            std::vector<std::string> environment(rootEnvironment);
            for (char** entry = environ; *entry != nullptr; ++entry)
                environment.emplace_back(*entry);
            options.environment = std::move(environment);
        }
    } else {
        options.argv.insert(options.argv.begin(), targets.pkexec);
    }
    Subprocess::ExitStatus status;
    std::string output;
    try {
        // No time-out: the prompt waits for the user as long as they take, and a cancelled
        // connect dismisses it. Once authorised, pkexec becomes the script as root, which no
        // stop can reach: it runs to its end. Run as root directly, the script is shielded from
        // a stop the same way, so an install is never cut in half.
        std::optional<StopScope> shielded;
        if (targets.asRoot) shielded.emplace(std::stop_token());
        auto child = Subprocess::start(std::move(options));
        status = child.wait();
        const std::string raw = child.takeStdout();
        output = std::string(text::trim(raw));
    } catch (const SubprocessError& failure) {
        if (!targets.asRoot && (failure.code() == ENOENT || failure.code() == EACCES)) {
            installFailed("pkexec (" + targets.pkexec +
                          ") is not available to ask for administrator rights — " +
                          std::string(kSudoHint));
        }
        installFailed(failure.what());
    }
    if (status.succeeded()) return;
    if (!targets.asRoot && status.code == kPkexecDismissed) {
        throw DaemonError(DaemonError::InstallCanceled{});
    }
    if (!targets.asRoot && status.code == kPkexecNotAuthorized) {
        installFailed("not authorized to install it (pkexec status 127" +
                      (output.empty() ? std::string() : ": " + output) + ") — " +
                      std::string(kSudoHint));
    }
    if (!output.empty()) installFailed(output);
    installFailed((targets.asRoot ? "install script status " : "pkexec status ") +
                  std::to_string(status.code));
}

}  // namespace nimbra::systemd
