#include "presentation/gateway_panel.hpp"

#include "l10n/l10n.hpp"
#include "presentation/latency.hpp"

namespace nimbra::presentation {

GatewayPanelHeader gatewayPanelHeader(const ControllerSnapshot& snapshot, AppLanguage language) {
    const bool probing = snapshot.exitLatencyProbing;
    GatewayPanelHeader header;
    header.title = pick(language, "Select WARP Exit Gateway", "选择 WARP 出口节点");
    header.subtitle = "Cloudflare Anycast · NAT64 IPv4/IPv6 Dual-Stack";
    header.fastestButton = pick(language, "Fastest", "选最快");
    header.fastestEnabled = fastestGateway(snapshot.exitProbes).has_value();
    header.testButton =
        probing ? pick(language, "Testing…", "测速中…") : pick(language, "Test All", "一键测速");
    header.testEnabled = !probing;
    if (snapshot.switchingGateway) header.switchingNote = L10n::switchingGateway(language);
    return header;
}

std::vector<GatewayCard> gatewayCards(const ControllerSnapshot& snapshot, AppLanguage language) {
    std::vector<GatewayCard> cards;
    for (NAT64Gateway gateway : kAllNAT64Gateways) {
        const std::optional<int> latency = gatewayLatency(snapshot, gateway);
        const bool probing = snapshot.exitLatencyProbing;
        GatewayCard card;
        card.gateway = gateway;
        card.title = title(gateway, language);
        card.subtitle = subtitle(gateway, language);
        card.latency = latencyText(latency, probing, language);
        card.latencyColor = probing ? ColorRole::textMuted : latencyColor(latency);
        card.selected = gateway == snapshot.nat64Gateway;
        if (card.selected) card.badge = pick(language, "Selected", "当前选中");
        cards.push_back(std::move(card));
    }
    return cards;
}

}  // namespace nimbra::presentation
