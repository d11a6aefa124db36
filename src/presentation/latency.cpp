#include "presentation/latency.hpp"

namespace nimbra::presentation {

std::optional<int> gatewayLatency(const ControllerSnapshot& snapshot, NAT64Gateway gateway) {
    const auto found = snapshot.exitProbes.find(rawValue(gateway));
    if (found == snapshot.exitProbes.end()) return std::nullopt;
    return found->second;
}

std::string latencyText(std::optional<int> milliseconds, bool probing, AppLanguage language) {
    if (probing) return std::string(pick(language, "Probing…", "测速中…"));
    if (!milliseconds) return "—";
    if (*milliseconds < 1) return std::string(pick(language, "Unreachable", "不可达"));
    return std::to_string(*milliseconds) + " ms";
}

std::string compactLatencyText(std::optional<int> milliseconds, AppLanguage language) {
    if (!milliseconds) return "—";
    if (*milliseconds < 1) return std::string(pick(language, ">5s (Slow)", ">5000ms 慢"));
    return std::to_string(*milliseconds) + "ms";
}

ColorRole latencyColor(std::optional<int> milliseconds) {
    if (!milliseconds) return ColorRole::textMuted;
    const int ms = *milliseconds;
    if (ms < 1 || ms >= 450) return ColorRole::coral;
    if (ms >= 250) return ColorRole::amber;
    if (ms >= 120) return ColorRole::accent;
    return ColorRole::emerald;
}

}  // namespace nimbra::presentation
