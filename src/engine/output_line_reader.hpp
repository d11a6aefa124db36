#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.hpp"

namespace nimbra {

// Reads a child's output pipe on a thread of its own and hands over each line as it arrives:
// split at every newline character, trimmed, empty and non-UTF-8 lines skipped. A line cut by a
// read boundary is kept until its end arrives, so a slow writer never produces broken lines.
// `onEnd` runs once when the pipe reaches end of file (every writer, normally the child, has gone).
// A line that grows past kMaxLineBytes without an end is handed over cut short, and the rest of it
// is dropped up to its end, so a child that never writes a newline cannot make the buffer grow.
class OutputLineReader {
public:
    static constexpr size_t kMaxLineBytes = 64 * 1024;

    using LineHandler = std::function<void(std::string line)>;
    using EndHandler = std::function<void()>;

    OutputLineReader(UniqueFd pipe, LineHandler onLine, EndHandler onEnd);
    // Stops reading (also when a grandchild still holds the pipe open) and joins the thread.
    ~OutputLineReader();
    OutputLineReader(const OutputLineReader&) = delete;
    OutputLineReader& operator=(const OutputLineReader&) = delete;

private:
    void run();
    void deliverComplete(std::string& pending, bool atEnd);
    void handOver(std::string_view piece);

    UniqueFd pipe_;
    UniqueFd wake_;      // write end of a pipe: the destructor writes to end the thread
    UniqueFd wakeRead_;  // its read end, owned by the thread
    LineHandler onLine_;
    EndHandler onEnd_;
    bool inOverlongLine_ = false;  // the pending text continues a line already cut short
    std::thread thread_;
};

}  // namespace nimbra
