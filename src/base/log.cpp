#include "base/log.hpp"

#include <unistd.h>

#include <string>

namespace nimbra {

void logLine(std::string_view prefix, std::string_view message) {
    std::string line;
    line.reserve(prefix.size() + message.size() + 4);
    line.append("[").append(prefix).append("] ").append(message).append("\n");
    // One write(2) per line keeps lines whole even when several threads log at once.
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n <= 0) return;
        rest.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace nimbra
