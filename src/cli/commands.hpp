#pragma once

namespace nimbra::cli {

// Each returns the process exit code.
int printPreferences();
int connectInForeground();
int printExitDiagnostics();
int printSystemProxy();
int repairNetwork();

}  // namespace nimbra::cli
