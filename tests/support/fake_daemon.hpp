#pragma once

#include <chrono>
#include <cstddef>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::testing {

// How the fake daemon answers one request.
struct FakeReply {
    std::vector<std::string> writes;     // sent one after another, each with one send()
    std::chrono::milliseconds delay{0};  // after the request, before the first write
    std::chrono::milliseconds pause{0};  // between two writes
    bool stayOpen = false;               // after the writes, wait for the client to hang up
    std::shared_future<void> release;    // when set, nothing is written before it is ready

    // A JSON line, in one write.
    static FakeReply line(const std::string& json) { return bytes(json + "\n"); }
    // Exactly these bytes (nothing at all for ""), then the connection is closed.
    static FakeReply bytes(std::string raw) {
        return FakeReply{{std::move(raw)}, {}, {}, false, {}};
    }
    // These bytes in pieces of `piece` bytes, `pause` apart.
    static FakeReply split(const std::string& raw, std::size_t piece,
                           std::chrono::milliseconds pause);
    // Reads the request and never answers.
    static FakeReply silent() { return FakeReply{{}, {}, {}, true, {}}; }

    FakeReply after(std::chrono::milliseconds wait) && {
        delay = wait;
        return std::move(*this);
    }
    // Written only once the test releases it; the daemon serves nobody else meanwhile.
    FakeReply heldUntil(std::shared_future<void> released) && {
        release = std::move(released);
        return std::move(*this);
    }
    FakeReply thenSilent() && {
        stayOpen = true;
        return std::move(*this);
    }
};

// A stand-in for nimbrad: a real Unix-socket server, serving one connection at a time on a thread
// of its own, that answers each command from a script and records every request's raw bytes.
// Stopping (the destructor) interrupts delays and silent replies.
class FakeDaemon {
public:
    // Listens on "nimbra.sock" in a fresh temporary directory.
    FakeDaemon();
    // Listens on `socketPath`, whose directory must exist.
    explicit FakeDaemon(std::string socketPath);
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    const std::string& socketPath() const { return path_; }

    // The replies to `cmd`, one per request in this order; the last one repeats. A command
    // without a script gets {"ok":true}.
    void script(const std::string& cmd, std::vector<FakeReply> replies);
    void script(const std::string& cmd, FakeReply reply) { script(cmd, std::vector{reply}); }

    // Every request so far, byte for byte (line feed included), in arrival order.
    std::vector<std::string> requests() const;
    // How many connections were accepted.
    std::size_t connections() const;

private:
    void listen();
    void serve();
    void answer(int fd);
    FakeReply replyFor(const std::string& request);
    // Waits for `fd` to become readable (or only for the time, with fd -1); false when the
    // daemon is stopping. A negative `timeout` waits without end.
    bool waitFor(int fd, std::chrono::milliseconds timeout) const;

    std::unique_ptr<TempDir> dir_;
    std::string path_;
    UniqueFd listener_;
    UniqueFd stop_;  // an eventfd, readable once the daemon is stopping
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<FakeReply>> scripts_;  // guarded by mutex_
    std::map<std::string, std::size_t> served_;              // guarded by mutex_
    std::vector<std::string> requests_;                      // guarded by mutex_
    std::size_t connections_ = 0;                            // guarded by mutex_
    std::thread thread_;
};

}  // namespace nimbra::testing
