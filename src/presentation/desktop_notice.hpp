#pragma once

#include <optional>
#include <string>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"

namespace nimbra::presentation {

// A desktop notification as the user reads it.
struct DesktopNotice {
    std::string title;
    std::string body;
    bool operator==(const DesktopNotice&) const = default;
};

// What the desktop is told about the change from `before` to `after`, if anything. Only a user
// who cannot see the window hears from us: a connect they started with the window hidden (the
// tray, the hot key, a --toggle-connection launch) that failed, and the first failed heal of an
// outage (the heal retries on its own; its later reports would only repeat it).
std::optional<DesktopNotice> noticeFor(const ControllerSnapshot& before,
                                       const ControllerSnapshot& after, bool windowVisible,
                                       bool connectStartedHidden, AppLanguage language);

}  // namespace nimbra::presentation
