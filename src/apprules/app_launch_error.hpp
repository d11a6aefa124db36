#pragma once

#include <string>

#include "l10n/localized_error.hpp"

namespace nimbra::apprules {

// An application could not be started with the proxy settings. The missing-application text
// exists in Chinese only; the others are given in both languages.
class AppLaunchError : public LocalizedError {
public:
    enum class Kind {
        notFound,        // the desktop entry or its program is gone (code 404)
        unlaunchable,    // the entry is not a startable application or its Exec is malformed
        confined,        // a Snap browser: its confinement keeps it out of the profile folder
        noTerminal,      // Terminal=true and no terminal emulator is installed
        profileRefused,  // the isolated profile folder exists with an owner or mode not ours
        startFailed,     // the program could not be executed
    };
    static constexpr int kNotFoundCode = 404;

    // `subject` is the entry's path, the profile folder's path, or (startFailed) the reason.
    AppLaunchError(Kind kind, std::string subject);

    Kind kind() const { return kind_; }
    // 404 for a missing application, 0 otherwise.
    int code() const { return kind_ == Kind::notFound ? kNotFoundCode : 0; }
    std::string description(AppLanguage language) const override;

private:
    Kind kind_;
    std::string subject_;
};

}  // namespace nimbra::apprules
