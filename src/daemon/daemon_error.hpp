#pragma once

#include <string>
#include <variant>

#include "l10n/localized_error.hpp"

namespace nimbra {

// Why talking to nimbrad, or installing it, failed. Every daemon operation throws this, except
// that a reply the client cannot decode surfaces as the decoder's own error.
class DaemonError : public LocalizedError {
public:
    // The socket could not be reached, or the exchange broke before a whole reply line came.
    struct ConnectFailed {
        std::string message;
    };
    // The daemon answered and refused: its "msg", or the command's fallback text.
    struct CommandFailed {
        std::string message;
    };
    // The tunnel did not come up within the readiness wait.
    struct NotReady {
        std::string message;
    };
    struct InstallFailed {
        std::string message;
    };
    struct BinaryNotFound {};
    // The user dismissed the administrator prompt.
    struct InstallCanceled {};
    using Case = std::variant<ConnectFailed, CommandFailed, NotReady, InstallFailed, BinaryNotFound,
                              InstallCanceled>;

    explicit DaemonError(Case c);

    const Case& reason() const { return case_; }
    // The payload text of the cases that carry one; empty for the others.
    const std::string& message() const;
    std::string description(AppLanguage language) const override;

private:
    Case case_;
};

}  // namespace nimbra
