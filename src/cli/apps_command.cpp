// `nimbra-cli apps`: the per-application rules the window keeps -- listed, set, removed, the
// default for apps without one -- and an application started through the local proxies. The
// rules are the same stored list the desktop client edits; a change reaches nimbrad at once
// when it routes per app (live_app_routes.hpp).

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "apprules/app_launch_error.hpp"
#include "apprules/app_launcher.hpp"
#include "apprules/app_route_plan.hpp"
#include "apprules/installed_app_scan.hpp"
#include "base/text.hpp"
#include "cli/commands.hpp"
#include "cli/live_app_routes.hpp"
#include "model/app_preferences.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

AppPreferences loadedPreferences() {
    auto preferences = AppPreferences::standard();
    preferences.migrateIfNeeded();
    return preferences;
}

// What the user typed, as the desktop id rules are kept by: a pasted file name loses its
// ".desktop".
std::string desktopIdOf(const std::string& typed) {
    std::string id(text::trim(typed));
    constexpr std::string_view suffix = ".desktop";
    if (id.size() > suffix.size() && id.ends_with(suffix)) id.resize(id.size() - suffix.size());
    return id;
}

bool isUsableId(const std::string& id) {
    if (id.empty()) {
        std::fprintf(stderr, "an application id is needed (the desktop id, as apps list shows)\n");
        return false;
    }
    return true;
}

// The installed application with this desktop id, as a fresh rule item.
std::optional<AppRuleItem> installedApp(const std::string& id, const AppPreferences& preferences) {
    const auto installed =
        apprules::scanInstalledApplications(apprules::AppScanEnvironment::fromProcess(),
                                            apprules::desktopEntryLocale(preferences.uiLanguage()));
    const auto found = std::find_if(installed.begin(), installed.end(),
                                    [&](const AppRuleItem& item) { return item.bundleId == id; });
    if (found == installed.end()) return std::nullopt;
    return *found;
}

// A rule for an app that is not installed (yet): it matches the units by the id alone.
AppRuleItem unknownApp(const std::string& id) {
    AppRuleItem item;
    item.id = newUuid();
    item.name = id;
    item.bundleId = id;
    return item;
}

// Code points, not bytes, so names outside ASCII do not push the columns apart.
std::size_t displayWidth(const std::string& text) {
    return std::count_if(text.begin(), text.end(),
                         [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
}

void printTable(const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths[i] = std::max(widths[i], displayWidth(row[i]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - displayWidth(row[i]) + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void printRules(const std::vector<AppRuleItem>& rules) {
    if (rules.empty()) {
        std::printf("no rules\n");
        return;
    }
    std::vector<std::vector<std::string>> rows{{"ID", "NAME", "TARGET", "ENABLED"}};
    for (const auto& rule : rules) {
        rows.push_back({rule.bundleId.empty() ? "-" : rule.bundleId, rule.name,
                        std::string(rawValue(rule.target)), rule.isEnabled ? "yes" : "no"});
    }
    printTable(rows);
}

// Where the running applications' traffic goes, while nimbrad's tunnel is on.
void printRunningApps(const AppPreferences& preferences) {
    const auto routing = askDaemonAppRouting();
    if (!routing || !routing->tunnelOn) return;
    if (const auto reason = appRoutingUnavailableHere()) {
        std::printf("per-app routing cannot work here: %s\n", reason->c_str());
        return;
    }
    if (routing->appDefault.empty()) {
        std::printf("nimbrad routes no app on its own: all go through the tunnel%s%s\n",
                    routing->appErr.empty() ? "" : " — ", routing->appErr.c_str());
        return;
    }
    const auto traffic = apprules::trafficOfUnits(
        preferences.appRules(), preferences.defaultAppFallback(), runningAppUnits());
    if (traffic.empty()) {
        std::printf("no applications running in units of their own\n");
        return;
    }
    std::vector<std::vector<std::string>> rows{{"RUNNING", "TRAFFIC", "UNIT"}};
    for (const auto& [unit, way] : traffic) {
        const auto slash = unit.cgroupPath.rfind('/');
        rows.push_back({unit.desktopId,
                        way == apprules::AppTrafficWay::tunnel ? "tunnel" : "direct",
                        unit.cgroupPath.substr(slash == std::string::npos ? 0 : slash + 1)});
    }
    printTable(rows);
}

// The rule to launch: the stored one with an entry file, else the installed application.
std::optional<AppRuleItem> launchableApp(const std::string& id, const AppPreferences& preferences) {
    bool ruled = false;
    for (const auto& rule : preferences.appRules()) {
        if (rule.bundleId != id) continue;
        if (!rule.appPath.empty()) return rule;
        ruled = true;
    }
    if (auto installed = installedApp(id, preferences)) return installed;
    std::fprintf(stderr,
                 ruled ? "%s has a rule but no installed application to start\n"
                       : "no installed application or rule with the id %s\n",
                 id.c_str());
    return std::nullopt;
}

}  // namespace

int listApps() {
    const auto preferences = loadedPreferences();
    std::printf("apps without a rule: %s\n",
                std::string(rawValue(preferences.defaultAppFallback())).c_str());
    printRules(preferences.appRules());
    printRunningApps(preferences);
    return 0;
}

int setAppRule(const std::string& typedId, AppRuleTarget target) {
    const std::string id = desktopIdOf(typedId);
    if (!isUsableId(id)) return kUsageError;
    const auto preferences = loadedPreferences();
    auto rules = preferences.appRules();
    std::string name;
    bool found = false;
    // Every rule of the app changes: with one left behind, a disabled copy switched back on in
    // the window would bring the old target back.
    for (auto& rule : rules) {
        if (rule.bundleId != id) continue;
        rule.target = target;
        rule.isEnabled = true;
        name = rule.name;
        found = true;
    }
    if (!found) {
        AppRuleItem item = installedApp(id, preferences).value_or(unknownApp(id));
        item.target = target;
        name = item.name;
        rules.push_back(std::move(item));
    }
    preferences.setAppRules(rules);
    const std::string shown = name == id ? id : id + " (" + name + ")";
    std::printf("%s: %s\n", shown.c_str(), std::string(rawValue(target)).c_str());
    return applyAppRoutesLive(preferences);
}

int removeAppRule(const std::string& typedId) {
    const std::string id = desktopIdOf(typedId);
    if (!isUsableId(id)) return kUsageError;
    const auto preferences = loadedPreferences();
    auto rules = preferences.appRules();
    if (std::erase_if(rules, [&](const AppRuleItem& rule) { return rule.bundleId == id; }) == 0) {
        std::fprintf(stderr, "no rule for %s (nimbra-cli apps list shows the rules)\n", id.c_str());
        return kFailed;
    }
    preferences.setAppRules(rules);
    std::printf("%s: rule removed, it follows the default (%s)\n", id.c_str(),
                std::string(rawValue(preferences.defaultAppFallback())).c_str());
    return applyAppRoutesLive(preferences);
}

int setAppDefault(AppRuleTarget target) {
    const auto preferences = loadedPreferences();
    preferences.setDefaultAppFallback(target);
    std::printf("apps without a rule: %s\n", std::string(rawValue(target)).c_str());
    return applyAppRoutesLive(preferences);
}

int launchApp(const std::string& typedId) {
    const std::string id = desktopIdOf(typedId);
    if (!isUsableId(id)) return kUsageError;
    const auto preferences = loadedPreferences();
    const auto app = launchableApp(id, preferences);
    if (!app) return kFailed;
    try {
        apprules::launch(*app, preferences.socksPort(), preferences.httpProxyPort());
    } catch (const apprules::AppLaunchError& error) {
        std::fprintf(stderr, "%s\n", error.description(preferences.uiLanguage()).c_str());
        return kFailed;
    }
    std::printf("started %s through SOCKS 127.0.0.1:%d and HTTP 127.0.0.1:%d\n", app->name.c_str(),
                preferences.socksPort(), preferences.httpProxyPort());
    return 0;
}

}  // namespace nimbra::cli
