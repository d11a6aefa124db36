#pragma once

#include <string>
#include <vector>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "model/nat64_gateway.hpp"
#include "presentation/color_role.hpp"

// The exit gateway panel: its header with the two buttons, and one card per gateway.
namespace nimbra::presentation {

struct GatewayPanelHeader {
    std::string title;
    std::string subtitle;
    std::string fastestButton;
    // "Fastest" can only choose among gateways that answered.
    bool fastestEnabled = false;
    // "Test All", or "Testing…" while a measurement runs, which a press would not restart.
    std::string testButton;
    bool testEnabled = true;
    // "Switching exit gateway…" while a live switch runs; empty otherwise.
    std::string switchingNote;

    bool operator==(const GatewayPanelHeader&) const = default;
};

struct GatewayCard {
    NAT64Gateway gateway = NAT64Gateway::direct;
    std::string title;
    std::string subtitle;
    std::string latency;
    ColorRole latencyColor = ColorRole::textMuted;
    bool selected = false;
    // "Selected" on the chosen gateway's card; empty on the others.
    std::string badge;

    bool operator==(const GatewayCard&) const = default;
};

GatewayPanelHeader gatewayPanelHeader(const ControllerSnapshot& snapshot, AppLanguage language);

// One card per gateway, in the order of kAllNAT64Gateways.
std::vector<GatewayCard> gatewayCards(const ControllerSnapshot& snapshot, AppLanguage language);

}  // namespace nimbra::presentation
