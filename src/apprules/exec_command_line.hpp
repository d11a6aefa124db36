#pragma once

#include <string>
#include <vector>

#include "apprules/desktop_entry.hpp"

namespace nimbra::apprules {

// The argument vector of a desktop entry's Exec line for a start with no files or URLs: split
// with the format's quoting, field codes expanded (%i to "--icon" <Icon> when there is an
// icon, %c to the Name, %k to the entry's path, %% to %; file/URL codes and the deprecated
// ones removed). Throws AppLaunchError (unlaunchable) for an empty or unbalanced line and for
// an unknown or incomplete field code: guessing would run something the entry did not ask for.
std::vector<std::string> execArguments(const DesktopEntry& entry);

}  // namespace nimbra::apprules
