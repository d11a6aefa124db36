#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <string_view>

namespace nimbra::apprules {

// The name of a scope for an application Nimbra starts, in the desktops' own naming
// ("app-nimbra-<escaped desktop id>-<random>.scope"), so that per-app routing reads the desktop
// id back from it as it does from units the desktop started.
std::string appScopeName(std::string_view desktopId);

// Asks the user's service manager (systemd, on the session bus) for a transient scope of that
// name in app.slice holding process `pid`, and returns once the process is in the scope's cgroup.
// Called while the process waits before its exec, it puts the program in its own unit from the
// first instruction on, so per-app routing routes its first packet by its rule. False, and
// nothing done, without a session bus (no desktop session: nothing routes per app there).
// Throws std::runtime_error when the bus has no user manager, it refuses, or the move has not
// happened within `patience`.
bool enterAppScope(const std::string& unitName, pid_t pid,
                   std::chrono::milliseconds patience = std::chrono::seconds(2));

}  // namespace nimbra::apprules
