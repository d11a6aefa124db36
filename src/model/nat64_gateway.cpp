#include "model/nat64_gateway.hpp"

#include "base/deployment.hpp"

namespace nimbra {

std::string rawValue(NAT64Gateway gateway) {
    return gateway == NAT64Gateway::usFremont ? deployment::fremontNat64Prefix() : "none";
}

NAT64Gateway nat64GatewayFromPrefix(std::string_view prefix) {
    for (auto gateway : kAllNAT64Gateways) {
        if (rawValue(gateway) == prefix) return gateway;
    }
    return NAT64Gateway::direct;
}

std::optional<NAT64Gateway> fastestGateway(const std::map<std::string, int>& latencies) {
    std::optional<NAT64Gateway> fastest;
    int best = 0;
    for (auto gateway : kAllNAT64Gateways) {
        const auto found = latencies.find(rawValue(gateway));
        if (found == latencies.end() || found->second < 1) continue;
        if (!fastest || found->second < best) {
            fastest = gateway;
            best = found->second;
        }
    }
    return fastest;
}

std::string_view title(NAT64Gateway gateway, AppLanguage language) {
    if (gateway == NAT64Gateway::usFremont) {
        return pick(language, "United States (Fremont)", "美国 (Fremont)");
    }
    return pick(language, "Direct Anycast", "直连 Anycast");
}

std::string_view subtitle(NAT64Gateway gateway, AppLanguage language) {
    if (gateway == NAT64Gateway::usFremont) {
        return pick(language, "ZTVI · Default · DFW · Use Gemini / Antigravity · Not for video",
                    "ZTVI · 默认 · DFW · 可用 Gemini / Antigravity · 不要看视频");
    }
    return pick(
        language,
        "Direct Cloudflare Anycast · Lowest Latency · Route-Dependent Exit · Great for video",
        "直连 Cloudflare Anycast · 延迟最低 · 出口取决于路由 · 可观看视频");
}

}  // namespace nimbra
