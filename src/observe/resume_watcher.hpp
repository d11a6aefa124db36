#pragma once

#include <asio/any_io_executor.hpp>
#include <functional>
#include <memory>

namespace nimbra {

// Hears the machine wake from suspend -- logind's PrepareForSleep(false) on the system bus -- so
// the health monitor can look at the tunnel at once: after a night in a bag its connections are
// long dead. Sleep itself (PrepareForSleep(true)) calls nothing.
//
// Linux talks to the bus with sd-bus, driven from the bus connection's descriptor by the core
// executor (no thread of its own); sd-bus takes the bus from DBUS_SYSTEM_BUS_ADDRESS when set.
// Elsewhere start() leaves the watcher off. It lives on the core thread: construct it there and
// call every operation there; the callback runs there too.
class ResumeWatcher {
public:
    ResumeWatcher(asio::any_io_executor core, std::function<void()> onResume);
    // stop().
    ~ResumeWatcher();
    ResumeWatcher(const ResumeWatcher&) = delete;
    ResumeWatcher& operator=(const ResumeWatcher&) = delete;

    // Connects to the system bus and asks it for logind's signal; the bus confirms a moment
    // later (see listening()). Does nothing while connected. Never throws: no bus, or a bus
    // that refuses us, is logged and leaves the watcher off.
    void start();
    // Leaves the bus: no callback runs after stop() returns. start() may follow.
    void stop();
    // Whether the bus has confirmed the subscription, so a wake-up now is heard; false again
    // after stop() or once the connection has failed.
    bool listening() const;

private:
    struct Session;

    asio::any_io_executor core_;
    std::function<void()> onResume_;
    // Shared with the descriptor's and the timer's pending waits, which may finish after stop().
    std::shared_ptr<Session> session_;
};

}  // namespace nimbra
