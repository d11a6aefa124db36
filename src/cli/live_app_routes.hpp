#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apprules/app_unit_scan.hpp"
#include "model/app_preferences.hpp"

namespace nimbra::cli {

// What nimbrad says about per-app routing, as far as `nimbra-cli apps` needs it.
struct DaemonAppRouting {
    bool tunnelOn = false;
    std::string appDefault;  // "proxy" or "direct" while nimbrad routes per app, else ""
    std::string appErr;      // why the last set it was sent did not apply
};

// nimbrad's answer to "status"; none when no nimbrad answers. Never starts or installs one.
std::optional<DaemonAppRouting> askDaemonAppRouting();

// The application units this user runs now, in the cgroup2 tree nimbrad routes by.
std::vector<apprules::AppUnit> runningAppUnits();
// Why per-app routing cannot work for this user here; none when it can.
std::optional<std::string> appRoutingUnavailableHere();

// After the stored rules or default changed: when nimbrad routes per app, sends it the set
// planned from them and the running units, so running applications follow the change now, and
// prints one line about it. Returns the exit code: 1 when nimbrad refused or failed the set.
int applyAppRoutesLive(const AppPreferences& preferences);

}  // namespace nimbra::cli
