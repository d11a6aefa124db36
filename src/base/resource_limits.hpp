#pragma once

namespace nimbra {

// Raises this process's soft limit on open descriptors to its hard limit. Best effort and
// idempotent; the local proxies call it because each tunnel holds two descriptors.
void raiseOpenFileLimit();

}  // namespace nimbra
