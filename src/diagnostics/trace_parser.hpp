#pragma once

#include <string_view>

#include "diagnostics/trace_probe.hpp"

namespace nimbra {

// What a trace without an exit address is reported as.
inline constexpr std::string_view kEmptyExitIpError = "empty exit ip from cdn-cgi/trace";

// Reads the provider's plain-text trace document (/cdn-cgi/trace), "key=value" per line.
//
// Lines are split at every kind of line break and empty lines are skipped. Each line is cut at
// its first "="; the line counts only when both the key before it and the value after it are
// non-empty (so "=x" and "x=" are ignored), and both are kept exactly as written -- no trimming.
// A key given twice keeps its last value. A trace with a non-empty "ip" is fetched, with loc,
// colo and warp empty when absent; anything else is a failed probe (kEmptyExitIpError).
TraceProbe parseTrace(std::string_view text);

}  // namespace nimbra
