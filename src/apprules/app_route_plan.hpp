#pragma once

#include <array>
#include <string>
#include <vector>

#include "apprules/app_unit_scan.hpp"
#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// One cgroup that must not follow the default, and where its traffic goes instead.
struct AppRouteEntry {
    std::string cgroupPath;  // AppUnit::cgroupPath
    AppRuleTarget target = AppRuleTarget::proxy;
    bool operator==(const AppRouteEntry&) const = default;
};

// What the daemon is asked to route: the target of every application not listed, and the
// application units whose rule says otherwise.
struct AppRoutePlan {
    AppRuleTarget defaultTarget = AppRuleTarget::proxy;
    std::vector<AppRouteEntry> entries;
    bool operator==(const AppRoutePlan&) const = default;
};

// The plan for the running `units` (from scanAppUnits, whose paths hold no spaces): a unit gets
// an entry when an enabled rule for its desktop id (the first, matched on AppRuleItem::bundleId)
// sends it elsewhere than `defaultTarget`. A unit without a rule, or whose rule is switched off,
// follows the default and needs no entry. At most 512 entries, what nimbrad takes: the units
// past them follow the default.
AppRoutePlan planAppRoutes(const std::vector<AppRuleItem>& rules, AppRuleTarget defaultTarget,
                           const std::vector<AppUnit>& units);

// The two arguments of the daemon's "app_routes" request for `plan`: the default ("proxy" or
// "direct") and the entries as "<target>:<path>" separated by single spaces ("" for none).
std::array<std::string, 2> appRouteArguments(const AppRoutePlan& plan);

// Where a running application's traffic goes, for the panel.
enum class AppTrafficWay { tunnel, direct };

struct AppUnitTraffic {
    AppUnit unit;
    AppTrafficWay way = AppTrafficWay::tunnel;
    bool operator==(const AppUnitTraffic&) const = default;
};

// Each of `units` with the way its traffic goes under the same rules as planAppRoutes.
std::vector<AppUnitTraffic> trafficOfUnits(const std::vector<AppRuleItem>& rules,
                                           AppRuleTarget defaultTarget,
                                           const std::vector<AppUnit>& units);

}  // namespace nimbra::apprules
