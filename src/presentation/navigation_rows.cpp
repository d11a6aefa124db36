#include "presentation/navigation_rows.hpp"

#include "l10n/l10n.hpp"
#include "observe/traffic_formatting.hpp"
#include "presentation/latency.hpp"

namespace nimbra::presentation {
namespace {

std::string speedText(double bytesPerSecond) {
    const auto [value, unit] = traffic::formatSpeed(bytesPerSecond);
    return value + " " + unit;
}

NavigationRow row(SidePanelTab tab, std::string_view title, std::string subtitle) {
    NavigationRow made;
    made.tab = tab;
    made.title = title;
    made.subtitle = std::move(subtitle);
    return made;
}

NavigationRow overviewRow(const ControllerSnapshot& snapshot, AppLanguage language) {
    const bool connected = snapshot.isConnected();
    NavigationRow overview =
        row(SidePanelTab::overview, pick(language, "Overview", "实时概览"),
            connected ? "↓ " + speedText(snapshot.traffic.downSpeed) + "  ↑ " +
                            speedText(snapshot.traffic.upSpeed)
                      : std::string(pick(language, "Waveform & Diagnostics", "吞吐波形 · 诊断")));
    overview.live = connected;
    return overview;
}

}  // namespace

std::vector<NavigationRow> navigationRows(const ControllerSnapshot& snapshot, long long ruleCount,
                                          AppLanguage language) {
    const NAT64Gateway gateway = snapshot.nat64Gateway;
    NavigationRow exitNodes = row(SidePanelTab::exitNodes, title(gateway, language),
                                  std::string(subtitle(gateway, language)));
    exitNodes.trailing = compactLatencyText(gatewayLatency(snapshot, gateway), language);
    return {
        overviewRow(snapshot, language),
        std::move(exitNodes),
        row(SidePanelTab::appRules, pick(language, "Per-App Rules", "应用分流管理"),
            L10n::appRulesCount(ruleCount, language)),
        row(SidePanelTab::advanced, pick(language, "Advanced", "高级"),
            std::string(pick(language, "DNS · China Split · HTTP/2", "DNS · 国内分流 · HTTP/2"))),
    };
}

}  // namespace nimbra::presentation
