// `nimbra-cli gateway`: shows the stored exit gateway with every gateway's latency, or stores a
// new one and points usque's registration file at it. A running connection keeps the gateway it
// started with; the change takes effect at the next connect.

#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <utility>

#include "base/preference_store.hpp"
#include "cli/commands.hpp"
#include "diagnostics/gateway_latency.hpp"
#include "engine/registration_endpoint.hpp"
#include "engine/usque_engine.hpp"
#include "model/app_preferences.hpp"
#include "model/nat64_gateway.hpp"
#include "model/preference_keys.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

std::string titleOf(NAT64Gateway gateway) {
    return std::string(title(gateway, AppLanguage::english));
}

void printLatencies(const std::map<std::string, int>& latencies, NAT64Gateway selected) {
    for (const auto& target : ExitProbe::gatewayTargets()) {
        const auto gateway = nat64GatewayFromPrefix(target.id);
        const auto found = latencies.find(target.id);
        const int rtt = found == latencies.end() ? -1 : found->second;
        const std::string latency = rtt >= 1 ? std::to_string(rtt) + " ms" : "unreachable";
        std::printf("%c gateway %-26s %s port %d: %s\n", gateway == selected ? '*' : ' ',
                    titleOf(gateway).c_str(), target.host.c_str(), target.port, latency.c_str());
    }
}

void printRewrite(const EndpointRewrite& rewrite) {
    const std::string file = UsqueEngine::configPath().string();
    switch (rewrite.outcome) {
        case EndpointRewriteOutcome::written:
            std::printf("registration: endpoint_v6 set to %s in %s\n", rewrite.endpoint.c_str(),
                        file.c_str());
            break;
        case EndpointRewriteOutcome::alreadySet:
            std::printf("registration: endpoint_v6 already %s in %s\n", rewrite.endpoint.c_str(),
                        file.c_str());
            break;
        case EndpointRewriteOutcome::missingFile:
            std::printf("registration: none yet (%s); nothing to rewrite\n", file.c_str());
            break;
        case EndpointRewriteOutcome::notAnObject:
        case EndpointRewriteOutcome::invalidPrefix:
        case EndpointRewriteOutcome::writeFailed:
            std::fprintf(stderr, "nimbra-cli: registration left unchanged: %s\n",
                         rewrite.reason.c_str());
            break;
    }
}

// Stores the gateway, then points the registration file at it. The choice is stored even when
// the file cannot be rewritten, so the next sync of the file picks it up.
int selectGateway(PreferenceStore& store, NAT64Gateway gateway) {
    const std::string raw = rawValue(gateway);
    try {
        store.setText(prefkey::nat64Prefix, raw);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "nimbra-cli: could not store the gateway: %s\n", failure.what());
        return kFailed;
    }
    std::printf("exit gateway: %s (stored \"%s\")\n", titleOf(gateway).c_str(), raw.c_str());
    const EndpointRewrite rewrite = rewriteEndpointV6(UsqueEngine::configPath(), raw);
    printRewrite(rewrite);
    std::printf(
        "a running nimbra-cli connect keeps its gateway; this applies at the next connect\n");
    return rewrite.ok() || rewrite.outcome == EndpointRewriteOutcome::missingFile ? 0 : kFailed;
}

}  // namespace

int runGatewayCommand(const std::string& name) {
    auto& store = PreferenceStore::standard();
    const AppPreferences preferences(store);
    preferences.migrateIfNeeded();
    const NAT64Gateway stored = nat64GatewayFromPrefix(preferences.nat64Prefix());

    if (name == "direct") return selectGateway(store, NAT64Gateway::direct);
    if (name == "us-fremont") return selectGateway(store, NAT64Gateway::usFremont);
    if (name.empty()) {
        std::printf("exit gateway: %s (stored \"%s\")\n", titleOf(stored).c_str(),
                    preferences.nat64Prefix().c_str());
        printLatencies(measureGatewayLatencies(), stored);
        return 0;
    }

    if (name != "fastest") {
        std::fprintf(stderr, "nimbra-cli: no gateway called \"%s\"\n", name.c_str());
        return kUsageError;
    }
    const auto latencies = measureGatewayLatencies();
    printLatencies(latencies, stored);
    const auto fastest = fastestGateway(latencies);
    if (!fastest) {
        std::fprintf(stderr, "nimbra-cli: no exit gateway answered; the gateway stays %s\n",
                     titleOf(stored).c_str());
        return kFailed;
    }
    std::printf("fastest: %s (%d ms)\n", titleOf(*fastest).c_str(),
                latencies.at(rawValue(*fastest)));
    return selectGateway(store, *fastest);
}

}  // namespace nimbra::cli
