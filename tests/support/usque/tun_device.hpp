#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.hpp"

namespace nimbra::standin {

// A new TUN interface `name` in the caller's network namespace. The interface lives as long as
// the descriptor: closing it (or dying) removes it. Throws std::runtime_error.
UniqueFd openTun(const std::string& name);

// Runs `ip <args>` to its end (in the caller's network namespace); throws std::runtime_error
// with its error output when it fails.
void ip(std::vector<std::string> args);

}  // namespace nimbra::standin
