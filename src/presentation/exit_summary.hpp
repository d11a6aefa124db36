#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra::presentation {

// The exit as one line: the address, then location and data centre joined with "/", the pieces
// joined with " · ". A field still unknown ("—" or empty) is left out; empty when none is known.
std::string exitSummary(const ControllerSnapshot& snapshot);

// The status card's exit line: the summary above with "warp=" and the exit's WARP flag as a last
// piece. While not connected an exit that is already WARP ("on"), and not measured through our
// own tunnel, belongs to another WARP client, and the line says so instead.
std::string statusExitSummary(const ControllerSnapshot& snapshot, AppLanguage language);

}  // namespace nimbra::presentation
