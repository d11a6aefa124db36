#pragma once

#include <atomic>
#include <mutex>
#include <utility>

#include "base/async/cancellation.hpp"

namespace nimbra {

// The daemon commands of one connect attempt. A cancel must have the last word with nimbrad:
// once it has sent "stop", no late "start" or "dns" of the abandoned attempt may arrive and
// bring the tunnel back up behind the user's back. So the attempt sends each command under the
// gate's lock, and the cancel closes the gate and sends its "stop" under the same lock: it waits
// for a command already on the wire, and every command after it is refused.
//
// The readiness wait runs under the lock too (it is one long command); it asks cancelled()
// before every poll, so a cancel holds it up for one poll at most.
class DaemonGate {
public:
    bool cancelled() const { return cancelled_.load(); }
    // The attempt is abandoned (cancelled, superseded or out of time): its readiness wait ends at
    // its next poll. Any thread.
    void cancel() { cancelled_ = true; }

    // Runs `command` unless the gate is closed; then throws the cancellation error instead.
    // Blocking: on a pool.
    template <typename Command>
    auto run(Command&& command) {
        std::lock_guard lock(mutex_);
        if (closed_) throw cancellationError();
        return std::forward<Command>(command)();
    }

    // Abandons the attempt, waits for its command in flight, closes the gate and runs `last`
    // (the "stop") before anything else can. Blocking: on a pool.
    template <typename Command>
    void closeWith(Command&& last) {
        cancel();
        std::lock_guard lock(mutex_);
        closed_ = true;
        std::forward<Command>(last)();
    }

private:
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    bool closed_ = false;  // guarded by mutex_
};

}  // namespace nimbra
