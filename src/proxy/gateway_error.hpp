#pragma once

#include <string>

#include "l10n/localized_error.hpp"

namespace nimbra {

// The SOCKS5 gateway could not start listening. The description names the SOCKS port setting
// as it stood when the start failed; it exists in Chinese only.
class GatewayError : public LocalizedError {
public:
    struct BindFailed {
        std::string message;
    };

    GatewayError(BindFailed reason, int socksPortSetting);

    const BindFailed& reason() const { return reason_; }
    std::string description(AppLanguage language) const override;

private:
    BindFailed reason_;
    int socksPortSetting_;
};

}  // namespace nimbra
