#pragma once

#include <optional>

#include "model/connection_mode.hpp"

namespace nimbra::cli {

// `nimbra-cli connect` flags; they apply to this run only and are never stored.
struct ConnectOptions {
    std::optional<ConnectionMode> mode;
    std::optional<bool> http2;
};

// Each returns the process exit code.
int printPreferences();
int connectInForeground(const ConnectOptions& options);
int printExitDiagnostics();
int printSystemProxy();
int repairNetwork();

}  // namespace nimbra::cli
