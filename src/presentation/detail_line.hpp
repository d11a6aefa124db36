#pragma once

#include <string>
#include <string_view>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra::presentation {

// The line under the status label, the first rule that applies: a teardown (a cancel's too) or a
// connect under way, a reconnect's own detail, an exit check, an error's detail, the exit summary,
// then the tunnel's readiness. Never empty.
std::string detailLine(const ControllerSnapshot& snapshot, AppLanguage language);

// A controller detail as one short line: blanks and line breaks trimmed at both ends, and longer
// than 40 characters cut to its first 38 and "…". Characters are counted as code points, so a
// Chinese text is cut between characters, never inside one.
std::string shortDetail(std::string_view detail);

// Whether the line reads as figures (an address, a port, "warp="): it is then set in the
// monospaced figure font.
bool detailInFigureFont(std::string_view line);

}  // namespace nimbra::presentation
