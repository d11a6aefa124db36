#pragma once

#include <string>

#include "l10n/localized_error.hpp"

namespace nimbra {

// The HTTP relay could not start listening. Its description exists in Chinese only.
class RelayError : public LocalizedError {
public:
    struct BindFailed {
        std::string message;
    };

    explicit RelayError(BindFailed reason);

    const BindFailed& reason() const { return reason_; }
    std::string description(AppLanguage language) const override;

private:
    BindFailed reason_;
};

}  // namespace nimbra
