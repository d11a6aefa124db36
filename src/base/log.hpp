#pragma once

#include <string_view>

namespace nimbra {

// One diagnostic line on standard error: "[prefix] message". Lines from different threads never
// interleave. There is no log file; stderr is the client's only diagnostic channel.
void logLine(std::string_view prefix, std::string_view message);

}  // namespace nimbra
