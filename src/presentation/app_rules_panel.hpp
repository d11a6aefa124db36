#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "model/app_rule_item.hpp"
#include "model/app_rules_tab.hpp"
#include "model/connection_mode.hpp"
#include "presentation/app_rules_store.hpp"
#include "system/platform_profile.hpp"

// The per-app rules panel as plain state and operations: the shell runs the scans and launches off
// the GUI thread and hands their results in, starts the toast's clear timer, and draws what the
// functions below give.
namespace nimbra::presentation {

// A rule applies to an application with the same non-empty identifier or the same non-empty path.
bool ruleMatches(const AppRuleItem& rule, const AppRuleItem& item);

// One row of a tab: the application and, when the user has a rule for it, that rule's state.
struct AppRuleRow {
    AppRuleItem item;
    bool hasRule = false;
    AppRuleTarget target = AppRuleTarget::proxy;
    bool enabled = false;
    // "Proxy (VPN)" / "Bypass (Direct)", "Disabled" for a disabled rule; empty without a rule.
    std::string badge;
    // The badge is drawn in the accent colour only for traffic that goes through the tunnel.
    bool badgeLit = false;
    // Where the application's traffic goes now under per-app routing, whatever its rule asks:
    // "Via tunnel" or "Direct"; empty (and not shown) while nimbrad routes none of its units.
    std::string traffic;
    // Drawn in the accent colour, like the badge, for traffic that goes through the tunnel.
    bool trafficLit = false;
    // What a screen reader says for the row: the name, then the badge and the traffic there are.
    std::string accessibleName;

    bool operator==(const AppRuleRow&) const = default;
};

// What the selected tab shows: its rows, or (with none) a note, and for the installed
// applications the scan button while they are not scanned yet.
struct AppRulesTabContent {
    std::vector<AppRuleRow> rows;
    std::string placeholder;
    bool scanning = false;
    bool offersScan = false;
};

enum class AppRuleAction { setProxy, setDirect, launch, showInFiles, remove };

// One entry of a row's menu; `checked` marks the target the application's rule already has.
struct AppRuleMenuEntry {
    AppRuleAction action = AppRuleAction::setProxy;
    std::string text;
    bool checked = false;
    // The text as the menu shows it: the target the rule already has is ticked. (A screen
    // reader gets `text` and the checked state instead.)
    std::string label() const { return checked ? "✓ " + text : text; }

    bool operator==(const AppRuleMenuEntry&) const = default;
};

class AppRulesPanel {
public:
    // Reads the rules and the default from `store` once; every edit is saved back through it.
    // `store` must outlive the panel.
    AppRulesPanel(AppRulesStore& store, const PlatformProfile& profile, AppLanguage language);

    // Another process changed the stored rules or default (nimbra-cli apps): the panel takes
    // them in, so its next edit does not write its older list over them.
    void reloadRules();

    void setLanguage(AppLanguage language) { language_ = language; }
    AppLanguage language() const { return language_; }

    const std::vector<AppRuleItem>& rules() const { return rules_; }
    AppRuleTarget defaultFallback() const { return defaultFallback_; }
    AppRulesTab selectedTab() const { return selectedTab_; }
    const std::vector<AppRuleItem>& runningApps() const { return runningApps_; }
    const std::vector<AppRuleItem>& installedApps() const { return installedApps_; }
    const std::string& searchQuery() const { return searchQuery_; }
    bool isScanning() const { return isScanning_; }

    void selectTab(AppRulesTab tab) { selectedTab_ = tab; }
    void setSearchQuery(std::string query) { searchQuery_ = std::move(query); }
    void setRunningApps(std::vector<AppRuleItem> apps) { runningApps_ = std::move(apps); }
    // Where each running application unit's traffic goes now (the controller's, by desktop id);
    // false, and nothing changes, when the rows already show this.
    bool setAppTraffic(const std::vector<AppTrafficNow>& traffic);
    // False (and nothing changes) while a scan already runs: the shell then starts none.
    bool beginInstalledScan();
    void finishInstalledScan(std::vector<AppRuleItem> apps);

    // The items whose lower-cased name, identifier or executable name contains the lower-cased
    // query trimmed of white space, in list order; a query of only white space keeps them all.
    std::vector<AppRuleItem> filtered(const std::vector<AppRuleItem>& list) const;
    // The rule with the item's own id (a rule's row finds that rule, also one without identifier
    // and path), else the first rule that matches the item; none for an app without a rule.
    std::optional<AppRuleItem> findConfiguredRule(const AppRuleItem& item) const;

    // Gives the item's rule `target` and enables it, or adds an enabled rule for it; toasts.
    void setRule(const AppRuleItem& item, AppRuleTarget target);
    // Change the item's rule (nothing, and no toast, when it has none).
    void updateTarget(const AppRuleItem& item, AppRuleTarget target);
    void toggleEnabled(const AppRuleItem& item, bool enabled);
    // Removes every rule matching the item or carrying its id; toasts when one went.
    void removeRule(const AppRuleItem& item);
    // Removes the rules at these positions of the "configured" tab as shown (after the search).
    void deleteRule(const std::vector<std::size_t>& positions);
    void setDefaultFallback(AppRuleTarget target);

    // The toast after a launch: "Launched: name", or "Launch failed: " and the error's text.
    void launchSucceeded(const AppRuleItem& item);
    void launchFailed(std::string_view description);

    const std::string& statusToast() const { return statusToast_; }
    // Each toast gets a new generation; the shell calls clearToastIfStill with it 2.5 s later, so
    // an older toast's timer never clears a newer toast, even one with the same text.
    std::uint64_t toastGeneration() const { return toastGeneration_; }
    std::uint64_t showToast(std::string text);
    void clearToastIfStill(std::uint64_t generation);

    std::string tabLabel(AppRulesTab tab) const;
    AppRulesTabContent tabContent() const;
    std::vector<AppRuleMenuEntry> rowMenu(const AppRuleItem& item) const;
    // Why per-app routing does not work when the controller says so; else, while the running
    // connection is real TUN, that rules route applications live; else the chosen mode's note
    // that only real TUN splits by application.
    std::string modeNotice(const ControllerSnapshot& snapshot) const;

private:
    AppRuleRow row(const AppRuleItem& item) const;
    std::vector<std::size_t> filteredPositions(const std::vector<AppRuleItem>& list) const;
    std::optional<std::size_t> ruleIndex(const AppRuleItem& item) const;
    void save();

    AppRulesStore& store_;
    PlatformProfile profile_;
    AppLanguage language_;
    std::vector<AppRuleItem> rules_;
    AppRuleTarget defaultFallback_;
    AppRulesTab selectedTab_ = AppRulesTab::running;
    std::vector<AppRuleItem> runningApps_;
    std::vector<AppRuleItem> installedApps_;
    std::vector<AppTrafficNow> appTraffic_;
    std::string searchQuery_;
    std::string statusToast_;
    std::uint64_t toastGeneration_ = 0;
    bool isScanning_ = false;
};

}  // namespace nimbra::presentation
