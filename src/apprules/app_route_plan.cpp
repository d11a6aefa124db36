#include "apprules/app_route_plan.hpp"

#include <algorithm>

namespace nimbra::apprules {
namespace {

// The most entries nimbrad takes in one set; it refuses a longer set whole, which would leave
// every application on the default instead of all but the few past the bound.
constexpr std::size_t kMaxAppRouteEntries = 512;

// The target `unit` follows: its enabled rule's, else the default. A switched-off rule is the
// user keeping an entry without applying it, so it must not pin the application either way.
AppRuleTarget targetOf(const std::vector<AppRuleItem>& rules, AppRuleTarget defaultTarget,
                       const AppUnit& unit) {
    const auto rule = std::find_if(rules.begin(), rules.end(), [&](const AppRuleItem& item) {
        return item.isEnabled && item.bundleId == unit.desktopId;
    });
    return rule == rules.end() ? defaultTarget : rule->target;
}

}  // namespace

AppRoutePlan planAppRoutes(const std::vector<AppRuleItem>& rules, AppRuleTarget defaultTarget,
                           const std::vector<AppUnit>& units) {
    AppRoutePlan plan{defaultTarget, {}};
    for (const AppUnit& unit : units) {
        if (plan.entries.size() == kMaxAppRouteEntries) break;
        const AppRuleTarget target = targetOf(rules, defaultTarget, unit);
        if (target != defaultTarget) plan.entries.push_back({unit.cgroupPath, target});
    }
    return plan;
}

std::array<std::string, 2> appRouteArguments(const AppRoutePlan& plan) {
    std::string entries;
    for (const AppRouteEntry& entry : plan.entries) {
        if (!entries.empty()) entries += ' ';
        entries += rawValue(entry.target);
        entries += ':';
        entries += entry.cgroupPath;
    }
    return {std::string(rawValue(plan.defaultTarget)), std::move(entries)};
}

std::vector<AppUnitTraffic> trafficOfUnits(const std::vector<AppRuleItem>& rules,
                                           AppRuleTarget defaultTarget,
                                           const std::vector<AppUnit>& units) {
    std::vector<AppUnitTraffic> traffic;
    for (const AppUnit& unit : units) {
        const bool direct = targetOf(rules, defaultTarget, unit) == AppRuleTarget::direct;
        traffic.push_back({unit, direct ? AppTrafficWay::direct : AppTrafficWay::tunnel});
    }
    return traffic;
}

}  // namespace nimbra::apprules
