#pragma once

#include <string>
#include <variant>

#include "l10n/localized_error.hpp"

namespace nimbra {

// Pointing the desktop's proxy settings at our relay failed, or cannot be done here.
class ProxyError : public LocalizedError {
public:
    // A settings tool refused a write: its output, or "<tool> failed (<status>)".
    struct CommandFailed {
        std::string message;
    };
    // networksetup lists no network service to act on.
    struct NoService {};
    // This desktop keeps its proxy settings nowhere we can write; applications must be pointed
    // at the local proxies by hand.
    struct Unsupported {
        std::string desktop;  // XDG_CURRENT_DESKTOP as found, possibly empty
        int httpPort = 0;
        int socksPort = 0;
    };
    using Reason = std::variant<CommandFailed, NoService, Unsupported>;

    explicit ProxyError(Reason reason);

    const Reason& reason() const { return reason_; }
    std::string description(AppLanguage language) const override;

private:
    Reason reason_;
};

}  // namespace nimbra
