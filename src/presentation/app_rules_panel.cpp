#include "presentation/app_rules_panel.hpp"

#include <algorithm>
#include <utility>

#include "base/text.hpp"
#include "l10n/app_rules_texts.hpp"
#include "l10n/l10n.hpp"

namespace nimbra::presentation {

bool ruleMatches(const AppRuleItem& rule, const AppRuleItem& item) {
    return (!item.bundleId.empty() && item.bundleId == rule.bundleId) ||
           (!item.appPath.empty() && item.appPath == rule.appPath);
}

namespace {

// Whether the application's traffic goes through the tunnel now; none while no unit of it is
// routed. An app whose units go different ways (one started before a rule changed, one after)
// counts as through the tunnel only when every unit is: "Via tunnel" tells the user the app's
// traffic stays inside it, and one direct unit already breaks that.
std::optional<bool> throughTunnel(const std::vector<AppTrafficNow>& traffic,
                                  std::string_view desktopId) {
    if (desktopId.empty()) return std::nullopt;
    std::optional<bool> all;
    for (const AppTrafficNow& unit : traffic) {
        if (unit.desktopId == desktopId) all = all.value_or(true) && unit.throughTunnel;
    }
    return all;
}

}  // namespace

AppRulesPanel::AppRulesPanel(AppRulesStore& store, const PlatformProfile& profile,
                             AppLanguage language)
    : store_(store),
      profile_(profile),
      language_(language),
      rules_(store.rules()),
      defaultFallback_(store.defaultFallback()) {}

void AppRulesPanel::reloadRules() {
    rules_ = store_.rules();
    defaultFallback_ = store_.defaultFallback();
}

bool AppRulesPanel::setAppTraffic(const std::vector<AppTrafficNow>& traffic) {
    if (traffic == appTraffic_) return false;
    appTraffic_ = traffic;
    return true;
}

bool AppRulesPanel::beginInstalledScan() {
    if (isScanning_) return false;
    isScanning_ = true;
    return true;
}

void AppRulesPanel::finishInstalledScan(std::vector<AppRuleItem> apps) {
    installedApps_ = std::move(apps);
    isScanning_ = false;
}

std::vector<std::size_t> AppRulesPanel::filteredPositions(
    const std::vector<AppRuleItem>& list) const {
    // Trimmed for matching too: a space typed after a name should not hide it.
    const std::string_view query = text::trim(searchQuery_);
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const AppRuleItem& item = list[i];
        if (query.empty() || text::containsCaseInsensitive(item.name, query) ||
            text::containsCaseInsensitive(item.bundleId, query) ||
            text::containsCaseInsensitive(item.executableName, query)) {
            positions.push_back(i);
        }
    }
    return positions;
}

std::vector<AppRuleItem> AppRulesPanel::filtered(const std::vector<AppRuleItem>& list) const {
    std::vector<AppRuleItem> shown;
    for (std::size_t i : filteredPositions(list)) shown.push_back(list[i]);
    return shown;
}

std::optional<std::size_t> AppRulesPanel::ruleIndex(const AppRuleItem& item) const {
    // A rule's own row edits that rule, also when an older list holds two rules for one app;
    // scanned apps carry fresh ids and so go by the matching rule.
    auto found = std::find_if(rules_.begin(), rules_.end(),
                              [&](const AppRuleItem& rule) { return rule.id == item.id; });
    if (found == rules_.end()) {
        found = std::find_if(rules_.begin(), rules_.end(),
                             [&](const AppRuleItem& rule) { return ruleMatches(rule, item); });
    }
    if (found == rules_.end()) return std::nullopt;
    return static_cast<std::size_t>(found - rules_.begin());
}

std::optional<AppRuleItem> AppRulesPanel::findConfiguredRule(const AppRuleItem& item) const {
    if (auto index = ruleIndex(item)) return rules_[*index];
    return std::nullopt;
}

void AppRulesPanel::setRule(const AppRuleItem& item, AppRuleTarget target) {
    if (auto index = ruleIndex(item)) {
        rules_[*index].target = target;
        rules_[*index].isEnabled = true;
    } else {
        AppRuleItem rule = item;
        rule.target = target;
        rule.isEnabled = true;
        rules_.push_back(std::move(rule));
    }
    save();
    showToast(L10n::appRuleSet(item.name, target, language_));
}

void AppRulesPanel::updateTarget(const AppRuleItem& item, AppRuleTarget target) {
    auto index = ruleIndex(item);
    if (!index) return;
    rules_[*index].target = target;
    save();
    showToast(L10n::appRuleUpdated(item.name, target, language_));
}

void AppRulesPanel::toggleEnabled(const AppRuleItem& item, bool enabled) {
    auto index = ruleIndex(item);
    if (!index) return;
    rules_[*index].isEnabled = enabled;
    save();
}

void AppRulesPanel::removeRule(const AppRuleItem& item) {
    const auto removed = std::erase_if(rules_, [&](const AppRuleItem& rule) {
        return ruleMatches(rule, item) || rule.id == item.id;
    });
    if (removed == 0) return;
    save();
    showToast(L10n::appRuleRemoved(item.name, language_));
}

void AppRulesPanel::deleteRule(const std::vector<std::size_t>& positions) {
    // Positions count the rules as shown; with a search active they are not the list's own.
    const std::vector<std::size_t> shown = filteredPositions(rules_);
    std::vector<bool> doomed(rules_.size(), false);
    bool any = false;
    for (std::size_t position : positions) {
        if (position < shown.size()) doomed[shown[position]] = any = true;
    }
    if (!any) return;
    std::vector<AppRuleItem> kept;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        if (!doomed[i]) kept.push_back(std::move(rules_[i]));
    }
    rules_ = std::move(kept);
    save();
}

void AppRulesPanel::setDefaultFallback(AppRuleTarget target) {
    defaultFallback_ = target;
    store_.saveDefaultFallback(target);
}

void AppRulesPanel::launchSucceeded(const AppRuleItem& item) {
    showToast(L10n::appLaunched(item.name, language_));
}

void AppRulesPanel::launchFailed(std::string_view description) {
    showToast(L10n::launchFailed(description, language_));
}

std::uint64_t AppRulesPanel::showToast(std::string text) {
    statusToast_ = std::move(text);
    return ++toastGeneration_;
}

void AppRulesPanel::clearToastIfStill(std::uint64_t generation) {
    if (generation == toastGeneration_) statusToast_.clear();
}

std::string AppRulesPanel::tabLabel(AppRulesTab tab) const {
    const std::size_t count = tab == AppRulesTab::running      ? runningApps_.size()
                              : tab == AppRulesTab::configured ? rules_.size()
                                                               : installedApps_.size();
    return L10n::appRulesTabLabel(tab, count, language_);
}

AppRuleRow AppRulesPanel::row(const AppRuleItem& item) const {
    AppRuleRow shown;
    shown.item = item;
    if (auto rule = findConfiguredRule(item)) {
        shown.hasRule = true;
        shown.target = rule->target;
        shown.enabled = rule->isEnabled;
        shown.badge = rule->isEnabled ? L10n::appRuleTargetTitle(rule->target, language_)
                                      : L10n::appRuleDisabledBadge(language_);
        shown.badgeLit = rule->isEnabled && rule->target == AppRuleTarget::proxy;
    }
    if (const auto tunnel = throughTunnel(appTraffic_, item.bundleId)) {
        shown.traffic = L10n::appTrafficNow(*tunnel, language_);
        shown.trafficLit = *tunnel;
    }
    shown.accessibleName = item.name;
    for (const std::string* part : {&shown.badge, &shown.traffic}) {
        if (!part->empty()) shown.accessibleName += ", " + *part;
    }
    return shown;
}

AppRulesTabContent AppRulesPanel::tabContent() const {
    AppRulesTabContent content;
    const std::vector<AppRuleItem>& list = selectedTab_ == AppRulesTab::running ? runningApps_
                                           : selectedTab_ == AppRulesTab::configured
                                               ? rules_
                                               : installedApps_;
    if (selectedTab_ == AppRulesTab::all && isScanning_) {
        content.scanning = true;
        content.placeholder = L10n::scanningInstalledApps(language_);
        return content;
    }
    if (list.empty()) {
        switch (selectedTab_) {
            case AppRulesTab::running:
                content.placeholder = L10n::noRunningApps(language_);
                break;
            case AppRulesTab::configured:
                content.placeholder = L10n::noAppRulesYet(language_);
                break;
            case AppRulesTab::all:
                content.placeholder = L10n::installedAppsNotScanned(language_);
                content.offersScan = true;
                break;
        }
        return content;
    }
    for (const AppRuleItem& item : filtered(list)) content.rows.push_back(row(item));
    return content;
}

std::vector<AppRuleMenuEntry> AppRulesPanel::rowMenu(const AppRuleItem& item) const {
    const std::optional<AppRuleItem> rule = findConfiguredRule(item);
    const auto ruleTargets = [&](AppRuleTarget target) { return rule && rule->target == target; };
    std::vector<AppRuleMenuEntry> menu{
        {AppRuleAction::setProxy, L10n::setToProxy(language_), ruleTargets(AppRuleTarget::proxy)},
        {AppRuleAction::setDirect, L10n::setToDirect(language_),
         ruleTargets(AppRuleTarget::direct)},
    };
    // Without a path there is nothing to start or to show.
    if (!item.appPath.empty()) {
        menu.push_back({AppRuleAction::launch, L10n::launchWithProxy(language_)});
        const Wording& words = profile_.showInFileManager;
        menu.push_back({AppRuleAction::showInFiles,
                        std::string(pick(language_, words.english, words.chinese))});
    }
    if (rule) menu.push_back({AppRuleAction::remove, L10n::removeAppRule(language_)});
    return menu;
}

std::string AppRulesPanel::modeNotice(const ControllerSnapshot& snapshot) const {
    if (!snapshot.appRoutingNote.empty()) return snapshot.appRoutingNote;
    if (snapshot.runningMode == ConnectionMode::realTun) return L10n::appRoutingLive(language_);
    return L10n::appRulesModeNotice(label(snapshot.connectionMode, language_), language_);
}

void AppRulesPanel::save() {
    store_.saveRules(rules_);
}

}  // namespace nimbra::presentation
