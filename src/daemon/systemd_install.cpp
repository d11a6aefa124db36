#include "daemon/systemd_install.hpp"

#include <cerrno>
#include <string_view>
#include <utility>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_install_text.hpp"

namespace nimbra::systemd {
namespace {

using daemon_install::shellQuote;
using daemon_install::systemdArgument;

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

}  // namespace

std::string unitFile(const Targets& targets, const DaemonArguments& arguments) {
    std::string execStart = systemdArgument(targets.installedExecutable().string());
    for (const std::string& argument :
         {std::string("-usque"), targets.installedUsque().string(), std::string("-config"),
          arguments.files.config.string(), std::string("-usque-config"),
          arguments.files.registration.string(), std::string("-sock"), arguments.socket,
          std::string("-listen"), std::string("127.0.0.1:53"), std::string("-log"),
          arguments.files.log.string(), std::string("-allow-uid"),
          std::to_string(arguments.allowedUid)}) {
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
           "RestartSec=1\n"
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
    Subprocess::Options options;
    options.output = Subprocess::Output::joined;
    if (targets.asRoot) {
        options.argv = {targets.bash, script.string()};
    } else {
        options.argv = {targets.pkexec, targets.bash, script.string()};
    }
    Subprocess::ExitStatus status;
    std::string output;
    try {
        // No time-out: the prompt waits for the user as long as they take.
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
