#pragma once

#include <string>
#include <variant>

#include "l10n/localized_error.hpp"

namespace nimbra {

// Why a connect attempt failed on the controller's own terms (engine, relay and daemon failures
// keep their own error types).
class ConnectError : public LocalizedError {
public:
    struct ProbeFailed {
        std::string text;
    };
    struct TimedOut {
        int seconds;
    };
    using Case = std::variant<ProbeFailed, TimedOut>;

    static ConnectError probeFailed(std::string text) {
        return ConnectError(ProbeFailed{std::move(text)});
    }
    static ConnectError timedOut(int seconds) { return ConnectError(TimedOut{seconds}); }

    const Case& reason() const { return case_; }
    std::string description(AppLanguage language) const override;

private:
    explicit ConnectError(Case c);
    Case case_;
};

}  // namespace nimbra
