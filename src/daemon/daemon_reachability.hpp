#pragma once

#include <asio/thread_pool.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace nimbra {

// "Is nimbrad reachable?" for code that must not block (the core and GUI threads): a ping can
// take up to its whole reply budget, so the answer comes from a cache that is refreshed in the
// background on the blocking pool, at most one refresh at a time.
class DaemonReachability {
public:
    using Probe = std::function<bool()>;
    // Told every fresh answer, on the pool thread that found it.
    using Listener = std::function<void(bool reachable)>;

    // Pings the daemon at `sock`.
    DaemonReachability(asio::thread_pool& pool, std::string sock, Listener listener = {});
    // Asks `probe` instead (tests; other ways of checking).
    DaemonReachability(asio::thread_pool& pool, Probe probe, Listener listener = {});

    // The last answer, at once (false before the first one arrives), and a refresh behind it.
    bool reachable();
    // The last answer without a refresh; nothing before the first one arrives.
    std::optional<bool> cached() const;
    // Starts a refresh unless one is already running; false when one was.
    bool refresh();

private:
    struct State {
        Probe probe;
        Listener listener;
        std::atomic<int> answer{-1};  // -1 unknown, 0 no, 1 yes
        std::atomic<bool> refreshing{false};
    };

    asio::thread_pool& pool_;
    // Shared with the refresh in flight, which may finish after this object is gone.
    std::shared_ptr<State> state_;
};

}  // namespace nimbra
