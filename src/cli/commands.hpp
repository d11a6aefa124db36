#pragma once

namespace nimbra::cli {

// Each returns the process exit code.
int printPreferences();
int connectInForeground();
int printExitDiagnostics();

}  // namespace nimbra::cli
