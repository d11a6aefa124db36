#include "presentation/app_rules_panel.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "l10n/app_rules_texts.hpp"
#include "presentation/preferences_app_rules_store.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::presentation {
namespace {

using enum AppRuleTarget;
const AppLanguage kEn = AppLanguage::english;

AppRuleItem app(std::string id, std::string name, std::string bundleId, std::string path,
                bool enabled = true, AppRuleTarget target = proxy) {
    return {std::move(id), std::move(name), std::move(bundleId), "", std::move(path),
            enabled,       target};
}

// The panel over the real preferences file; saves run at once unless a test queues them.
class AppRulesPanelTest : public ::testing::Test {
protected:
    AppRulesPanel panelWith(std::vector<AppRuleItem> rules) {
        preferences_.setAppRules(rules);
        store_ = std::make_unique<PreferencesAppRulesStore>(
            preferences_, [](std::function<void()> job) { job(); });
        return AppRulesPanel(*store_, PlatformProfile::forLinux(), kEn);
    }
    std::vector<AppRuleItem> stored() const { return preferences_.appRules(); }

    nimbra::testing::TempDir dir_;
    PreferenceStore file_{dir_ / "preferences.json"};
    AppPreferences preferences_{file_};
    std::unique_ptr<PreferencesAppRulesStore> store_;
};

// Each edit as the panel sees it, the toast it gives, and the list it leaves in the preferences.
TEST_F(AppRulesPanelTest, EditsFindTheOneRuleAnAppHasAndSaveTheWholeList) {
    const AppRuleItem chrome = app("C", "Chrome", "google-chrome", "/a/chrome.desktop", false);
    const AppRuleItem bare = app("B", "Bare", "", "");
    const AppRuleItem runningChrome = app("fresh", "Chrome", "google-chrome", "");
    using Edit = std::function<void(AppRulesPanel&)>;
    for (const auto& [why, edit, toast, after] :
         std::vector<std::tuple<std::string, Edit, std::string, std::vector<AppRuleItem>>>{
             {"a disabled rule is re-enabled, not doubled",
              [&](auto& p) { p.setRule(runningChrome, direct); },
              "Set Chrome → Direct",
              {app("C", "Chrome", "google-chrome", "/a/chrome.desktop", true, direct), bare}},
             {"a new app is appended",
              [&](auto& p) { p.setRule(app("N", "New", "", "/a/new.desktop"), direct); },
              "Set New → Direct",
              {chrome, bare, app("N", "New", "", "/a/new.desktop", true, direct)}},
             {"an app without id and path removes only the rule with its id",
              [&](auto& p) { p.removeRule(bare); },
              "Removed Bare rule",
              {chrome}},
             {"an app without id and path matches no other rule",
              [&](auto& p) { p.removeRule(app("X", "Other", "", "")); },
              "",
              {chrome, bare}},
             {"a rule without id and path is still edited as itself",
              [&](auto& p) { p.updateTarget(bare, direct), p.toggleEnabled(bare, false); },
              "Updated Bare → Direct",
              {chrome, app("B", "Bare", "", "", false, direct)}},
             {"no rule: nothing to update and no toast",
              [&](auto& p) { p.updateTarget(app("Y", "Y", "y", ""), direct); },
              "",
              {chrome, bare}},
         }) {
        AppRulesPanel panel = panelWith({chrome, bare});
        edit(panel);
        EXPECT_EQ(panel.statusToast(), toast) << why;
        EXPECT_EQ(panel.rules(), after) << why;
        EXPECT_EQ(stored(), after) << why;
    }
}

// Positions count the configured tab as shown, also while a search hides some rules.
TEST_F(AppRulesPanelTest, SearchMatchesNameIdOrProgramAndDeletePositionsFollowIt) {
    const std::vector<AppRuleItem> rules{
        app("1", "Google Chrome", "google-chrome", ""), app("2", "Slack", "slack", ""),
        app("3", "Browser", "com.google.Chrome", ""), app("4", "Code", "code", "")};
    for (const auto& [query, shown, deleted, left] :
         std::vector<std::tuple<std::string, std::vector<std::string>, std::vector<std::size_t>,
                                std::vector<std::string>>>{
             {"Chrome", {"1", "3"}, {1}, {"1", "2", "4"}},
             {"   ", {"1", "2", "3", "4"}, {0, 3, 9}, {"2", "3"}},
             {" SLACK ", {"2"}, {0, 0}, {"1", "3", "4"}},
             {"zoom", {}, {0}, {"1", "2", "3", "4"}},
         }) {
        AppRulesPanel panel = panelWith(rules);
        panel.setSearchQuery(query);
        panel.selectTab(AppRulesTab::configured);
        std::vector<std::string> ids;
        for (const AppRuleRow& row : panel.tabContent().rows) ids.push_back(row.item.id);
        EXPECT_EQ(ids, shown) << query;
        panel.deleteRule(deleted);
        ids.clear();
        for (const AppRuleItem& rule : stored()) ids.push_back(rule.id);
        EXPECT_EQ(ids, left) << query;
    }
}

TEST_F(AppRulesPanelTest, AnOlderToastsTimerNeverClearsANewerToast) {
    AppRulesPanel panel = panelWith({});
    const AppRuleItem slack = app("S", "Slack", "slack", "/a/slack.desktop");
    panel.launchSucceeded(slack);
    const auto first = panel.toastGeneration();
    panel.launchSucceeded(slack);  // the same text again
    panel.clearToastIfStill(first);
    EXPECT_EQ(panel.statusToast(), "Launched: Slack");
    panel.launchFailed("gone");
    panel.clearToastIfStill(panel.toastGeneration() - 1);
    EXPECT_EQ(panel.statusToast(), "Launch failed: gone");
    panel.clearToastIfStill(panel.toastGeneration());
    EXPECT_EQ(panel.statusToast(), "");
}

// Remove only for an app with a rule; launch and show only for one with a path; the file
// manager's words are the platform's.
TEST_F(AppRulesPanelTest, RowMenusOfferWhatTheAppAllows) {
    using enum AppRuleAction;
    const AppRuleItem ruled = app("R", "Ruled", "ruled", "/a/ruled.desktop", true, direct);
    AppRulesPanel panel = panelWith({ruled});
    const auto actions = [&](const AppRuleItem& item) {
        std::vector<std::tuple<AppRuleAction, bool>> shown;
        for (const auto& entry : panel.rowMenu(item))
            shown.emplace_back(entry.action, entry.checked);
        return shown;
    };
    EXPECT_EQ(actions(app("x", "Ruled", "ruled", "")),
              (std::vector<std::tuple<AppRuleAction, bool>>{
                  {setProxy, false}, {setDirect, true}, {remove, false}}));
    EXPECT_EQ(actions(app("y", "Free", "free", "/a/free.desktop")),
              (std::vector<std::tuple<AppRuleAction, bool>>{
                  {setProxy, false}, {setDirect, false}, {launch, false}, {showInFiles, false}}));
    EXPECT_EQ(panel.rowMenu(ruled)[3].text, "Show in Files");
    EXPECT_EQ(panel.rowMenu(ruled)[1].label(), "✓ Set to Bypass (Direct)");
    EXPECT_EQ(panel.rowMenu(ruled)[0].label(), panel.rowMenu(ruled)[0].text);
    const PlatformProfile macos = PlatformProfile::forMacos();
    EXPECT_EQ(AppRulesPanel(*store_, macos, kEn).rowMenu(ruled)[3].text, "Reveal in Finder");
    EXPECT_EQ(L10n::appRulesCaptions(macos, AppLanguage::chinese).back().second,
              "搜索应用名称或 Bundle ID…");
}

// Tabs count their whole lists and say why they are empty; the scan button only before a scan.
TEST_F(AppRulesPanelTest, TabsShowCountsAndTheirEmptyNotes) {
    AppRulesPanel panel = panelWith({});
    panel.setRunningApps({app("a", "A", "a", ""), app("b", "B", "b", "")});
    panel.setSearchQuery("a");
    EXPECT_EQ(panel.tabLabel(AppRulesTab::running), "Running (2)");
    EXPECT_EQ(panel.tabLabel(AppRulesTab::configured), "Configured (0)");
    EXPECT_EQ(panel.tabContent().rows.size(), 1u);
    panel.selectTab(AppRulesTab::all);
    EXPECT_TRUE(panel.tabContent().offersScan);
    ASSERT_TRUE(panel.beginInstalledScan());
    EXPECT_FALSE(panel.beginInstalledScan());
    EXPECT_EQ(panel.tabContent().placeholder, "Scanning installed applications…");
    panel.finishInstalledScan({});
    EXPECT_EQ(panel.tabContent().placeholder, "Click below to scan installed applications");
    panel.setRule(app("a", "A", "a", ""), proxy);
    panel.selectTab(AppRulesTab::running);
    EXPECT_EQ(panel.tabContent().rows.front().badge, "Proxy (VPN)");
    EXPECT_TRUE(panel.tabContent().rows.front().badgeLit);
    EXPECT_EQ(panel.tabContent().rows.front().accessibleName, "A, Proxy (VPN)");
    panel.setSearchQuery("");
    EXPECT_EQ(panel.tabContent().rows.back().accessibleName, "B");
    panel.updateTarget(app("a", "A", "a", ""), AppRuleTarget::direct);
    EXPECT_FALSE(panel.tabContent().rows.front().badgeLit);
}

// The notice and each row's traffic as the controller reports per-app routing: the chosen
// mode's note until a real-TUN connection runs, then that rules route live or why they do not;
// a row tells where its app's traffic goes only while some unit of it is routed.
TEST_F(AppRulesPanelTest, NoticeAndRowsFollowWherePerAppRoutingSendsTraffic) {
    using enum ConnectionMode;
    const std::string needsTun =
        "': Transparent per-app split requires 'Real TUN'; or click 🚀 to launch app with proxy";
    const auto unit = [](std::string id, bool tunnel) { return AppTrafficNow{id, tunnel}; };
    for (const auto& [chosen, running, note, traffic, notice, spoken, lit] :
         std::vector<std::tuple<ConnectionMode, std::optional<ConnectionMode>, std::string,
                                std::vector<AppTrafficNow>, std::string, std::vector<std::string>,
                                std::vector<bool>>>{
             {socks,
              socks,
              "",
              {},
              "Current mode 'Local SOCKS" + needsTun,
              {"Chrome, Proxy (VPN)", "Code", "Bare"},
              {false, false, false}},
             {realTun,
              std::nullopt,
              "",
              {},
              "Current mode 'TUN" + needsTun,
              {"Chrome, Proxy (VPN)", "Code", "Bare"},
              {false, false, false}},
             {realTun,
              realTun,
              "",
              {unit("google-chrome", true), unit("code", false), unit("", false)},
              "Real TUN: rules apply to running apps at once, no relaunch needed",
              {"Chrome, Proxy (VPN), Via tunnel", "Code, Direct", "Bare"},
              {true, false, false}},
             // One direct unit of several is enough for the app to be said to go direct.
             {realTun,
              realTun,
              "nimbrad refused the per-app set",
              {unit("google-chrome", true), unit("google-chrome", false)},
              "nimbrad refused the per-app set",
              {"Chrome, Proxy (VPN), Direct", "Code", "Bare"},
              {false, false, false}},
             {socks,
              globalTun,
              "",
              {},
              "Current mode 'Local SOCKS" + needsTun,
              {"Chrome, Proxy (VPN)", "Code", "Bare"},
              {false, false, false}},
         }) {
        AppRulesPanel panel = panelWith({app("R", "Chrome", "google-chrome", "")});
        panel.setRunningApps({app("1", "Chrome", "google-chrome", "/a/chrome.desktop"),
                              app("2", "Code", "code", ""), app("3", "Bare", "", "")});
        ControllerSnapshot snapshot;
        snapshot.connectionMode = chosen;
        snapshot.runningMode = running;
        snapshot.appRoutingNote = note;
        EXPECT_EQ(panel.setAppTraffic(traffic), !traffic.empty()) << notice;
        EXPECT_FALSE(panel.setAppTraffic(traffic)) << "unchanged traffic republishes no rows";
        EXPECT_EQ(panel.modeNotice(snapshot), notice);
        std::vector<std::string> names;
        std::vector<bool> lights;
        for (const AppRuleRow& row : panel.tabContent().rows) {
            names.push_back(row.accessibleName);
            lights.push_back(row.trafficLit);
        }
        EXPECT_EQ(names, spoken) << notice;
        EXPECT_EQ(lights, lit) << notice;
    }
}

// Saves queued on a pool may run in any order; the file still ends with the newest list.
TEST_F(AppRulesPanelTest, QueuedSavesNeverLeaveAnOlderListInTheFile) {
    std::vector<std::function<void()>> queued;
    PreferencesAppRulesStore store(preferences_,
                                   [&](std::function<void()> job) { queued.push_back(job); });
    AppRulesPanel panel(store, PlatformProfile::forLinux(), kEn);
    panel.setRule(app("a", "A", "a", ""), proxy);
    panel.setRule(app("b", "B", "b", ""), direct);
    panel.setDefaultFallback(proxy);
    EXPECT_EQ(AppRulesPanel(store, PlatformProfile::forLinux(), kEn).rules(), panel.rules());
    for (auto job = queued.rbegin(); job != queued.rend(); ++job) (*job)();
    EXPECT_EQ(stored(), panel.rules());
    EXPECT_EQ(preferences_.defaultAppFallback(), proxy);

    // nimbra-cli changes the file afterwards: once the panel reloads, its next edit keeps that.
    PreferenceStore cliFile(dir_ / "preferences.json");
    AppPreferences(cliFile).setAppRules({app("c", "C", "c", "")});
    ASSERT_TRUE(file_.reload());
    panel.reloadRules();
    panel.setRule(app("d", "D", "d", ""), proxy);
    queued.back()();
    EXPECT_EQ(stored(), (std::vector<AppRuleItem>{app("c", "C", "c", ""), panel.rules().back()}));
}

}  // namespace
}  // namespace nimbra::presentation
