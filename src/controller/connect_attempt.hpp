#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "controller/connection_state.hpp"
#include "controller/controller_state.hpp"
#include "controller/start_outcome.hpp"

namespace nimbra {

// One press of Connect: its generation, the request captured at that moment, and the way it
// shows its progress. Everything an attempt shows goes through it and is dropped once a cancel
// or a newer attempt has superseded it, so a late step can never overwrite newer state.
class ConnectAttempt {
public:
    ConnectAttempt(ControllerState& state, const ConnectionState& connection, StartRequest request)
        : state_(state),
          connection_(connection),
          generation_(connection.generation),
          request_(request) {}

    int64_t generation() const { return generation_; }
    const StartRequest& request() const { return request_; }
    bool isCurrent() const { return generation_ == connection_.generation; }
    AppLanguage language() const { return state_.language(); }

    // Applies `mutate` to the published fields while the attempt is current; false when stale.
    template <typename Mutation>
    bool show(Mutation&& mutate) {
        if (!isCurrent()) return false;
        state_.update(std::forward<Mutation>(mutate));
        return true;
    }
    bool showDetail(std::string detail) {
        return show([&](ControllerSnapshot& s) { s.detail = std::move(detail); });
    }

private:
    ControllerState& state_;
    const ConnectionState& connection_;
    int64_t generation_;
    StartRequest request_;
};

}  // namespace nimbra
