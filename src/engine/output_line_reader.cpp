#include "engine/output_line_reader.hpp"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include "base/text.hpp"

namespace nimbra {
namespace {

// Length of the prefix that ends with the last newline character (0 when there is none). The
// multi-byte separators (NEL, U+2028, U+2029) count only as their whole UTF-8 sequences.
size_t completeLength(std::string_view buffer) {
    for (size_t i = buffer.size(); i-- > 0;) {
        const auto byte = static_cast<unsigned char>(buffer[i]);
        if (byte == '\n' || byte == '\r' || byte == '\v' || byte == '\f') return i + 1;
        if (byte == 0x85 && i >= 1 && static_cast<unsigned char>(buffer[i - 1]) == 0xC2) {
            return i + 1;
        }
        if ((byte == 0xA8 || byte == 0xA9) && i >= 2 &&
            static_cast<unsigned char>(buffer[i - 1]) == 0x80 &&
            static_cast<unsigned char>(buffer[i - 2]) == 0xE2) {
            return i + 1;
        }
    }
    return 0;
}

UniqueFd makeWakePipe(UniqueFd& readEnd) {
    int fds[2];
    if (::pipe(fds) != 0) return UniqueFd();
    for (int fd : fds) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    readEnd.reset(fds[0]);
    return UniqueFd(fds[1]);
}

}  // namespace

OutputLineReader::OutputLineReader(UniqueFd pipe, LineHandler onLine, EndHandler onEnd)
    : pipe_(std::move(pipe)), onLine_(std::move(onLine)), onEnd_(std::move(onEnd)) {
    wake_ = makeWakePipe(wakeRead_);
    thread_ = std::thread([this] { run(); });
}

OutputLineReader::~OutputLineReader() {
    if (wake_.valid()) {
        const char stop = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_.get(), &stop, 1);
    }
    if (thread_.joinable()) thread_.join();
}

void OutputLineReader::handOver(std::string_view piece) {
    const std::string_view line = text::trim(piece);
    if (line.empty() || !text::isValidUtf8(line)) return;
    onLine_(std::string(line));
}

void OutputLineReader::deliverComplete(std::string& pending, bool atEnd) {
    const size_t complete = atEnd ? pending.size() : completeLength(pending);
    if (complete > 0) {
        // The first piece ends an overlong line whose head has been handed over already.
        bool skipFirst = std::exchange(inOverlongLine_, false);
        for (auto& piece : text::splitLines(std::string_view(pending).substr(0, complete))) {
            if (!std::exchange(skipFirst, false)) handOver(piece);
        }
        pending.erase(0, complete);
    }
    // Only once past the limit: the byte after the cut must be there to tell a character boundary.
    if (pending.size() <= kMaxLineBytes) return;
    // An overlong line: its head goes over once, cut at a character boundary, and the rest is
    // dropped up to the line's end. Not handed over piece by piece: a readiness phrase or an error
    // cut in two would match nowhere, and the pieces would push the real lines out of the
    // remembered ones the error hint is chosen from. The line after it arrives whole.
    if (!inOverlongLine_) {
        size_t cut = kMaxLineBytes;
        while (cut > 0 && (static_cast<unsigned char>(pending[cut]) & 0xC0) == 0x80) --cut;
        handOver(std::string_view(pending).substr(0, cut));
        inOverlongLine_ = true;
    }
    // The last two bytes stay: they may begin a multi-byte line separator.
    pending.erase(0, pending.size() - 2);
}

void OutputLineReader::run() {
    std::string pending;
    char chunk[4096];
    for (;;) {
        pollfd fds[2] = {{pipe_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) return;  // asked to stop: the owner no longer wants lines
        const ssize_t n = ::read(pipe_.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        deliverComplete(pending, /*atEnd=*/false);
    }
    deliverComplete(pending, /*atEnd=*/true);
    onEnd_();
}

}  // namespace nimbra
