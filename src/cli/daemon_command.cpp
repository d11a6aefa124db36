// `nimbra-cli daemon install|status|uninstall`: puts nimbrad in place as a system service (one
// administrator prompt, each step printed), shows what it reports, and takes it out again while
// leaving the user's own files.

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <string>

#include "base/preference_store.hpp"
#include "cli/commands.hpp"
#include "daemon/daemon_client.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_installer.hpp"
#include "model/app_preferences.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;

std::string describe(const std::exception& error) {
    if (const auto* daemonError = dynamic_cast<const DaemonError*>(&error)) {
        return daemonError->description(AppPreferences::standard().uiLanguage());
    }
    return error.what();
}

const char* yesNo(const std::optional<bool>& value, const char* yes, const char* no) {
    if (!value) return "unknown";
    return *value ? yes : no;
}

std::string orUnknown(const std::optional<std::string>& value) {
    return value && !value->empty() ? *value : "unknown";
}

void printStatus(const DaemonClient::Status& status) {
    std::printf("tunnel: %s, %s, interface %s\n", yesNo(status.tunnelOn, "on", "off"),
                yesNo(status.connected, "connected", "not connected"),
                orUnknown(status.tunIface).c_str());
    if (status.tunErr && !status.tunErr->empty()) {
        std::printf("tunnel error: %s\n", status.tunErr->c_str());
    }
    std::printf("dns: mode %s, upstream %s, %s on %s\n", orUnknown(status.dnsMode).c_str(),
                orUnknown(status.dnsUpstream).c_str(),
                yesNo(status.dnsRunning, "running", "stopped"), orUnknown(status.listen).c_str());
    if (status.dnsErr && !status.dnsErr->empty()) {
        std::printf("dns error: %s\n", status.dnsErr->c_str());
    }
    std::string excludes;
    for (const auto& entry : status.excludes.value_or(std::vector<std::string>{})) {
        excludes += (excludes.empty() ? "" : ", ") + entry;
    }
    std::printf("excludes: %s\n", excludes.empty() ? "none" : excludes.c_str());
    if (status.routeGen) std::printf("route generation: %" PRIu64 "\n", *status.routeGen);
    std::printf("ready: %s\n", yesNo(status.ok, "yes", "no"));
}

DaemonInstallOptions printingOptions() {
    auto options = DaemonInstallOptions::standard();
    options.onStep = [](const std::string& text) {
        std::printf("daemon: %s\n", text.c_str());
        std::fflush(stdout);
    };
    return options;
}

}  // namespace

int installDaemon() {
    try {
        const auto options = printingOptions();
        const auto outcome = DaemonInstaller::ensureInstalled(options);
        std::printf("nimbrad is %s and answers on %s\n",
                    outcome == DaemonInstallOutcome::upToDate ? "already installed" : "installed",
                    options.socketPath.c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", describe(error).c_str());
        return kFailed;
    }
}

int printDaemonStatus() {
    const std::string sock = DaemonInstallOptions::standard().socketPath;
    try {
        const auto ping = DaemonClient::call("ping", {}, sock);
        std::printf("nimbrad: answering on %s%s%s\n", sock.c_str(),
                    ping.msg && !ping.msg->empty() ? " — " : "", ping.msg.value_or("").c_str());
        const auto reply = DaemonClient::call("status", {}, sock);
        const auto status = reply.status.value_or(DaemonClient::Status{});
        if (status.version) std::printf("version: %s\n", status.version->c_str());
        if (status.uptimeSec) std::printf("uptime: %" PRId64 " s\n", *status.uptimeSec);
        printStatus(status);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", describe(error).c_str());
        return kFailed;
    }
}

int uninstallDaemon() {
    try {
        const auto options = printingOptions();
        DaemonInstaller::uninstall(options);
        std::printf("nimbrad is removed; %s is left in place\n",
                    DaemonFiles::in(options.workDirectory).directory.c_str());
        return 0;
    } catch (const DaemonError& error) {
        if (std::holds_alternative<DaemonError::InstallCanceled>(error.reason())) {
            std::fprintf(stderr, "Admin authorization canceled — nimbrad was left installed\n");
        } else {
            std::fprintf(stderr, "Failed to remove nimbrad: %s\n", error.message().c_str());
        }
        return kFailed;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Failed to remove nimbrad: %s\n", error.what());
        return kFailed;
    }
}

}  // namespace nimbra::cli
