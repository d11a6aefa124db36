#include "presentation/desktop_notice.hpp"

#include "l10n/l10n.hpp"

namespace nimbra::presentation {

std::optional<DesktopNotice> noticeFor(const ControllerSnapshot& before,
                                       const ControllerSnapshot& after, bool windowVisible,
                                       bool connectStartedHidden, AppLanguage language) {
    if (windowVisible) return std::nullopt;
    // The error is cleared when a connect begins and set once when it fails or is refused.
    if (connectStartedHidden && before.lastConnectError.empty() &&
        !after.lastConnectError.empty()) {
        return DesktopNotice{L10n::notifyConnectFailed(language), after.lastConnectError};
    }
    if (before.healFailure.empty() && !after.healFailure.empty()) {
        return DesktopNotice{L10n::notifyHealFailed(language), after.healFailure};
    }
    return std::nullopt;
}

}  // namespace nimbra::presentation
