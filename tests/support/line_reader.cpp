#include "support/line_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace nimbra::testing {

LineReader::LineReader(int fd) : fd_(fd) {
    if (!fd_.valid()) eof_ = true;
}

std::optional<std::string> LineReader::takeLine() {
    const auto newline = pending_.find('\n');
    if (newline == std::string::npos && !(eof_ && !pending_.empty())) return std::nullopt;
    std::string line = pending_.substr(0, newline);
    pending_.erase(0, newline == std::string::npos ? newline : newline + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines_.push_back(line);
    return line;
}

// Waits for data until `deadline` and reads what is there. False once nothing more can come in
// time: the deadline passed or the writer closed.
bool LineReader::fill(Clock::time_point deadline) {
    while (!eof_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw std::system_error(errno, std::generic_category(), "poll");
        if (ready == 0) {
            if (Clock::now() >= deadline) return false;
            continue;
        }
        char buffer[4096];
        const ssize_t size = ::read(fd_.get(), buffer, sizeof buffer);
        if (size < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (size <= 0) {
            eof_ = true;
            return true;
        }
        pending_.append(buffer, static_cast<std::size_t>(size));
        return true;
    }
    return false;
}

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto line = takeLine()) return line;
        if (!fill(deadline)) return std::nullopt;
    }
}

std::optional<std::string> LineReader::waitFor(std::string_view needle,
                                               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        auto line = next(std::max(left, std::chrono::milliseconds(0)));
        if (!line) return std::nullopt;
        if (line->find(needle) != std::string::npos) return line;
    }
}

bool LineReader::readToEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        while (takeLine()) {
        }
        if (atEnd()) return true;
        if (!fill(deadline)) return atEnd();
    }
}

std::string LineReader::transcript() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text;
}

bool LineReader::sawLineContaining(std::string_view needle) const {
    for (const auto& line : lines_) {
        if (line.find(needle) != std::string::npos) return true;
    }
    return false;
}

}  // namespace nimbra::testing
