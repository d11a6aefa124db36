#include "daemon/daemon_reachability.hpp"

#include <asio/post.hpp>

#include "daemon/daemon_client.hpp"

namespace nimbra {

DaemonReachability::DaemonReachability(asio::thread_pool& pool, std::string sock, Listener listener)
    : DaemonReachability(
          pool, [sock = std::move(sock)] { return DaemonClient::isReachable(sock); },
          std::move(listener)) {}

DaemonReachability::DaemonReachability(asio::thread_pool& pool, Probe probe, Listener listener)
    : pool_(pool), state_(std::make_shared<State>()) {
    state_->probe = std::move(probe);
    state_->listener = std::move(listener);
}

bool DaemonReachability::reachable() {
    // Read before the refresh starts, which may finish before this returns.
    const bool last = cached().value_or(false);
    refresh();
    return last;
}

std::optional<bool> DaemonReachability::cached() const {
    const int answer = state_->answer.load();
    if (answer < 0) return std::nullopt;
    return answer == 1;
}

bool DaemonReachability::refresh() {
    if (state_->refreshing.exchange(true)) return false;
    asio::post(pool_, [state = state_] {
        bool reachable = false;
        try {
            reachable = state->probe();
        } catch (...) {
            reachable = false;
        }
        state->answer = reachable ? 1 : 0;
        // Cleared before the listener runs, so a listener that asks again starts a new refresh.
        state->refreshing = false;
        if (state->listener) state->listener(reachable);
    });
    return true;
}

}  // namespace nimbra
