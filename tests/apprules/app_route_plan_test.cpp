// Rules and running application units against the route set sent to the daemon and the way
// each application's traffic goes, under either default.

#include "apprules/app_route_plan.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace nimbra::apprules {
namespace {

using enum AppTrafficWay;

AppRuleItem rule(const std::string& bundleId, AppRuleTarget target, bool enabled = true) {
    AppRuleItem item;
    item.name = bundleId;
    item.bundleId = bundleId;
    item.target = target;
    item.isEnabled = enabled;
    return item;
}

TEST(AppRoutePlan, ListsOnlyUnitsWhoseEnabledRuleDiffersFromTheDefault) {
    const std::vector<AppRuleItem> rules = {
        rule("org.mozilla.firefox", AppRuleTarget::direct),
        rule("org.gnome.Evince", AppRuleTarget::proxy),
        rule("google-chrome", AppRuleTarget::proxy, false),  // off: follows the default
        rule("google-chrome", AppRuleTarget::direct),
        rule("org.kde.konsole", AppRuleTarget::direct, false),
    };
    const std::string apps = "user.slice/user-1000.slice/user@1000.service/app.slice/";
    const std::vector<AppUnit> units = {
        {apps + "app-flatpak-org.mozilla.firefox-7.scope", "org.mozilla.firefox"},
        {apps + "app-gnome-org.gnome.Evince-42.scope", "org.gnome.Evince"},
        {apps + R"(app-google\x2dchrome@a1.service)", "google-chrome"},
        {apps + "app-org.kde.konsole-9f.scope", "org.kde.konsole"},
        {apps + "app-gnome-org.gnome.Maps-5.scope", "org.gnome.Maps"},  // no rule
    };
    const struct {
        AppRuleTarget defaultTarget;
        std::array<std::string, 2> arguments;
        std::vector<AppTrafficWay> ways;
    } cases[] = {
        {AppRuleTarget::proxy,
         {"proxy", "direct:" + units[0].cgroupPath + " direct:" + units[2].cgroupPath},
         {direct, tunnel, direct, tunnel, tunnel}},
        {AppRuleTarget::direct,
         {"direct", "proxy:" + units[1].cgroupPath},
         {direct, tunnel, direct, direct, direct}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(appRouteArguments(planAppRoutes(rules, c.defaultTarget, units)), c.arguments);
        const auto traffic = trafficOfUnits(rules, c.defaultTarget, units);
        ASSERT_EQ(traffic.size(), units.size());
        for (std::size_t i = 0; i < units.size(); ++i) {
            EXPECT_EQ(traffic[i].unit, units[i]);
            EXPECT_EQ(traffic[i].way, c.ways[i]) << units[i].desktopId;
        }
    }
    EXPECT_EQ(appRouteArguments(planAppRoutes(rules, AppRuleTarget::proxy, {})),
              (std::array<std::string, 2>{"proxy", ""}));
    // nimbrad refuses a set of more than 512 entries whole; the units past it follow the default.
    std::vector<AppUnit> many;
    for (int i = 0; i < 600; ++i)
        many.push_back({units[0].cgroupPath + std::to_string(i), units[0].desktopId});
    EXPECT_EQ(planAppRoutes(rules, AppRuleTarget::proxy, many).entries.size(), 512u);
}

}  // namespace
}  // namespace nimbra::apprules
