#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"

namespace nimbra::presentation {

// The exit as one line: the address, then location and data centre joined with "/", the pieces
// joined with " · ". A field still unknown ("—" or empty) is left out; empty when none is known.
std::string exitSummary(const ControllerSnapshot& snapshot);

}  // namespace nimbra::presentation
