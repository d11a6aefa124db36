#pragma once

#include <optional>
#include <stop_token>

#include "base/unique_fd.hpp"

namespace nimbra {

// This thread's stop request (StopScope) as a descriptor that poll() wakes on, so a blocking wait
// on a child or a socket ends when the task that waits is cancelled. fd() is -1 when no stop can
// come; poll() ignores negative descriptors.
class StopEvent {
public:
    StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    int fd() const { return fd_.get(); }
    bool requested() const { return token_.stop_requested(); }

private:
    struct Signal {
        int fd;
        void operator()() const noexcept;
    };

    std::stop_token token_;
    UniqueFd fd_;
    // Last: unregistered before the descriptor it writes to is closed.
    std::optional<std::stop_callback<Signal>> callback_;
};

}  // namespace nimbra
