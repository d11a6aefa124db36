#pragma once

#include <string_view>

#include "controller/controller_snapshot.hpp"

namespace nimbra::presentation {

// Whether the Advanced panel's "Add" (and the input's submit) may send the direct-exclude draft:
// not while it holds no more than blanks, nor while nimbrad is known not to answer. A daemon not
// asked yet (the last answer unknown) does not disable it: the add itself will find out.
bool excludeAddEnabled(std::string_view draft, const ControllerSnapshot& snapshot);

}  // namespace nimbra::presentation
