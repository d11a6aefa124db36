#pragma once

#include <string_view>

namespace nimbra::trace_server {

// Writes "trace-server: <line>" and a newline to stderr in one write, so lines from concurrent
// connections never interleave.
void logLine(std::string_view line);

}  // namespace nimbra::trace_server
