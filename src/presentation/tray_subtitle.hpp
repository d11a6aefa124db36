#pragma once

#include <string>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra::presentation {

// The line under the tray menu's status: what the connection is doing, why it cannot start, or
// where the traffic leaves. Empty when there is nothing to say.
std::string traySubtitle(const ControllerSnapshot& snapshot, AppLanguage language);

}  // namespace nimbra::presentation
