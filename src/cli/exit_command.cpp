#include <cstdio>

#include "base/preference_store.hpp"
#include "cli/commands.hpp"
#include "diagnostics/exit_probe.hpp"
#include "diagnostics/gateway_latency.hpp"
#include "model/app_preferences.hpp"
#include "model/nat64_gateway.hpp"
#include "system/process_control.hpp"
#include "system/process_table.hpp"

namespace nimbra::cli {
namespace {

void printProbe(const char* route, const TraceProbe& probe) {
    if (!probe.fetched) {
        std::printf("%-18s failed: %s\n", route, probe.error.value_or("network error").c_str());
        return;
    }
    std::printf("%-18s ip=%s loc=%s colo=%s warp=%s%s\n", route, probe.ip.c_str(),
                probe.loc.c_str(), probe.colo.c_str(), probe.warp.c_str(),
                probe.ok() ? "" : "  (not a WARP exit)");
}

bool usqueServes(int port) {
    auto& processes = ProcessTable::system();
    for (pid_t pid : processes.listenerPids(port)) {
        if (process_control::commandLineMentionsUsque(processes.processArgs(pid))) return true;
    }
    return false;
}

}  // namespace

// What a user checks without the window: where traffic leaves, directly and through a running
// tunnel, and how far each exit gateway is.
int printExitDiagnostics() {
    const AppPreferences preferences(PreferenceStore::standard());
    preferences.migrateIfNeeded();
    const int port = preferences.socksPort();

    const TraceProbe direct = ExitProbe::fetchDirect();
    printProbe("exit (direct)", direct);
    bool anyFetched = direct.fetched;
    if (usqueServes(port)) {
        const TraceProbe tunnel = ExitProbe::fetchViaCurlSocks(port);
        printProbe(("exit (:" + std::to_string(port) + ")").c_str(), tunnel);
        anyFetched = anyFetched || tunnel.fetched;
    } else {
        std::printf("%-18s no usque serves 127.0.0.1:%d\n", "exit (tunnel)", port);
    }

    const auto latencies = measureGatewayLatencies();
    for (const auto& target : ExitProbe::gatewayTargets()) {
        const auto gateway = nat64GatewayFromPrefix(target.id);
        const auto found = latencies.find(target.id);
        const int rtt = found == latencies.end() ? -1 : found->second;
        const std::string latency = rtt >= 1 ? std::to_string(rtt) + " ms" : "unreachable";
        std::printf("gateway %-26s %s port %d: %s\n",
                    std::string(title(gateway, AppLanguage::english)).c_str(), target.host.c_str(),
                    target.port, latency.c_str());
    }
    return anyFetched ? 0 : 1;
}

}  // namespace nimbra::cli
