#include "log.hpp"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <string>

namespace nimbra::standin {

void logLine(std::string_view text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    const std::size_t stampSize = std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M:%S ", &local);

    std::string line(stamp, stampSize);
    line.append(text);
    line += '\n';
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace nimbra::standin
