#pragma once

#include <string>
#include <variant>

#include "l10n/localized_error.hpp"

namespace nimbra {

// Why the engine could not bring usque up. Its descriptions exist in Chinese only.
class UsqueError : public LocalizedError {
public:
    struct LaunchFailed {
        std::string message;
    };
    struct ExitedEarly {
        std::string hint;
        int storedSocksPort;
    };
    struct MasqueTimeout {
        std::string hint;
    };
    struct SocksNotReady {
        int port;
    };
    struct PortInUse {
        int port;
    };
    struct RegisterFailed {
        int status;
        std::string output;
    };
    struct BinaryMissing {};
    struct NativeTunUnsupported {};
    using Case = std::variant<LaunchFailed, ExitedEarly, MasqueTimeout, SocksNotReady, PortInUse,
                              RegisterFailed, BinaryMissing, NativeTunUnsupported>;

    explicit UsqueError(Case c);

    const Case& reason() const { return case_; }
    std::string description(AppLanguage language) const override;

    // True when an output line says the SOCKS listener could not bind its port.
    static bool isBindFailureHint(const std::string& hint);

private:
    Case case_;
};

}  // namespace nimbra
