#include "apprules/bounded_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/unique_fd.hpp"

namespace nimbra::apprules {
namespace {

// O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer that never comes.
UniqueFd openForReading(const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

// Reads until end of file or until `limit` bytes are in `out`; false on a read error.
bool readUpTo(int fd, std::size_t limit, std::string& out) {
    char buffer[16 * 1024];
    while (out.size() < limit) {
        const std::size_t want = std::min(sizeof buffer, limit - out.size());
        const ssize_t got = ::read(fd, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

}  // namespace

std::optional<std::string> readSmallRegularFile(const std::string& path, std::size_t maxBytes) {
    const UniqueFd fd = openForReading(path);
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > maxBytes) {
        return std::nullopt;
    }
    // One byte past the bound tells a file that grew after fstat from one that fits exactly.
    std::string content;
    if (!readUpTo(fd.get(), maxBytes + 1, content) || content.size() > maxBytes) {
        return std::nullopt;
    }
    return content;
}

std::optional<std::string> readFilePrefix(const std::string& path, std::size_t maxBytes) {
    const UniqueFd fd = openForReading(path);
    std::string content;
    if (!fd.valid() || !readUpTo(fd.get(), maxBytes, content)) return std::nullopt;
    return content;
}

}  // namespace nimbra::apprules
