#pragma once

#include <optional>
#include <string>
#include <vector>

#include "apprules/app_launch_error.hpp"
#include "apprules/desktop_entry.hpp"
#include "model/app_rule_item.hpp"

namespace nimbra::apprules {

// What starting an item's desktop entry means, before any proxy setting is added.
struct LaunchTarget {
    DesktopEntry entry;
    std::vector<std::string> argv;            // Exec, field codes expanded
    std::vector<std::string> terminalPrefix;  // Terminal=true: e.g. {"x-terminal-emulator", "-e"}
    bool chromiumFamily = false;
    bool flatpak = false;  // argv is `flatpak run ...`: the host environment stops at the sandbox
};

// Reads the item's desktop entry (its appPath) and checks that it can be started with the
// proxy settings. Throws AppLaunchError: notFound (code 404) when the entry file or its
// program is gone; unlaunchable for something that is not an application entry or has a
// malformed Exec; confined for a Chromium-family Snap (Snap confinement keeps it out of our
// profile folder -- other Snap apps do get our environment, so they are launchable);
// noTerminal when Terminal=true and no terminal emulator is installed.
LaunchTarget resolveLaunchTarget(const AppRuleItem& item);

// Why the item cannot be launched with the proxy settings, as one line for the panel; none when
// it can. Starts nothing and creates nothing.
std::optional<AppLaunchError> launchObstacle(const AppRuleItem& item);

}  // namespace nimbra::apprules
