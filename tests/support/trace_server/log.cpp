#include "log.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace nimbra::trace_server {

void logLine(std::string_view line) {
    std::string text = "trace-server: ";
    text += line;
    text += '\n';

    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;  // nobody reads our stderr any more: logging is best effort
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace nimbra::trace_server
