#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.hpp"

namespace nimbra::testing {

// Reads lines from a descriptor -- typically a child's stderr from Subprocess::releaseStderr() --
// with a deadline on every wait, so a silent or stuck child fails a test instead of hanging it.
//
//   LineReader err(process.releaseStderr());
//   ASSERT_TRUE(err.waitFor("Connected to MASQUE server", 5s)) << err.transcript();
class LineReader {
public:
    using Clock = std::chrono::steady_clock;

    // Takes ownership of `fd` and closes it on destruction.
    explicit LineReader(int fd);

    // The next line, without its "\n" (or "\r\n"). nullopt when `timeout` passes first or the
    // writer has closed its end and every line has been returned (then atEnd() holds). A last line
    // without a newline is returned once the writer has closed.
    std::optional<std::string> next(std::chrono::milliseconds timeout);

    // Reads lines until one contains `needle` and returns it; nullopt on time-out or end.
    std::optional<std::string> waitFor(std::string_view needle, std::chrono::milliseconds timeout);

    // Reads everything up to the writer's close; false if `timeout` passes first.
    bool readToEnd(std::chrono::milliseconds timeout);

    bool atEnd() const { return eof_ && pending_.empty(); }

    // Every line returned or passed over so far, oldest first, and the same joined with "\n"
    // (for failure messages).
    const std::vector<std::string>& lines() const { return lines_; }
    std::string transcript() const;
    bool sawLineContaining(std::string_view needle) const;

private:
    std::optional<std::string> takeLine();
    bool fill(Clock::time_point deadline);

    UniqueFd fd_;
    std::string pending_;
    std::vector<std::string> lines_;
    bool eof_ = false;
};

}  // namespace nimbra::testing
