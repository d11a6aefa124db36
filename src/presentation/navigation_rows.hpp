#pragma once

#include <string>
#include <vector>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

// The navigation card: one row per tab of the detail area, each a title over a subtitle.
namespace nimbra::presentation {

enum class SidePanelTab { overview, exitNodes, appRules, advanced };

struct NavigationRow {
    SidePanelTab tab = SidePanelTab::overview;
    std::string title;
    std::string subtitle;
    // Beside the title: the exit gateway's latency; empty on the other rows.
    std::string trailing;
    // The "LIVE" badge, on the overview row while connected.
    bool live = false;

    bool operator==(const NavigationRow&) const = default;
};

// The four rows in tab order. The overview row shows the live speeds while connected, the exit
// row the chosen gateway and its latency, the rules row `ruleCount` (the stored per-app rules,
// which the controller does not publish).
std::vector<NavigationRow> navigationRows(const ControllerSnapshot& snapshot, long long ruleCount,
                                          AppLanguage language);

}  // namespace nimbra::presentation
