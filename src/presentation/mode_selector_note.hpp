#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra::presentation {

// When the settings chosen now reach the running connection. A mode or transport (HTTP/2)
// differing from the connection's waits for the next connect; a split or exit gateway differing
// from it is being applied live. In effect when they match or no connection is up (an attempt
// still connecting takes its choices along once it is up).
enum class ChoiceTiming { inEffect, applyingNow, nextConnect };

ChoiceTiming choiceTiming(const ControllerSnapshot& snapshot);

// The note under the mode selector for that timing; empty while the choices are in effect.
std::string modeSelectorNote(const ControllerSnapshot& snapshot, AppLanguage language);

}  // namespace nimbra::presentation
