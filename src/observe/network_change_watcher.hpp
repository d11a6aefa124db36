#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>

namespace nimbra {

// Hears the machine's network change under it -- an address that comes or goes, a default route
// that appears or disappears in the main routing table (a laptop joins another Wi-Fi, a cable is
// pulled) -- and calls back once per burst, `debounce` after the last change of the burst, so
// the health monitor can look at the tunnel at once instead of at its next tick.
//
// Linux listens on an rtnetlink socket driven by the core executor; elsewhere start() leaves the
// watcher off. It lives on the core thread: construct it there and call every operation there;
// the callback runs there too.
class NetworkChangeWatcher {
public:
    NetworkChangeWatcher(asio::any_io_executor core, std::chrono::milliseconds debounce,
                         std::function<void()> onChange);
    // stop().
    ~NetworkChangeWatcher();
    NetworkChangeWatcher(const NetworkChangeWatcher&) = delete;
    NetworkChangeWatcher& operator=(const NetworkChangeWatcher&) = delete;

    // Subscribes to the kernel's address and route notifications. Does nothing while listening.
    // Never throws: a socket that cannot be opened is logged and leaves the watcher off.
    void start();
    // Unsubscribes and forgets a pending burst: no callback runs after stop() returns. start()
    // may follow.
    void stop();
    // Whether start() succeeded, and neither stop() nor a failure of the socket has ended it.
    bool listening() const;

    // Which kernel messages are changes that count. Only addresses that reach past the machine
    // itself count (not loopback, not IPv6 link-local, which every interface gets when it comes
    // up), and only default routes of the main table (not the routes of a subnet, not the tables
    // of policy routing, ours included). The kernel repeats an address's announcement whenever its
    // lifetimes are refreshed -- on IPv6 networks at every router advertisement -- so the filter
    // keeps the addresses it knows of and counts an announcement only when it is new to it.
    class Filter {
    public:
        // Reads one datagram of notifications; true when one of its messages is a change that
        // counts.
        bool changed(std::span<const std::byte> datagram);
        // Reads one datagram of the reply to an address dump, learning the addresses in it
        // without counting them. True once the reply ends (its done or error message).
        bool seed(std::span<const std::byte> datagram);
        void forget() { addresses_.clear(); }

    private:
        std::set<std::string> addresses_;
    };

private:
    struct Session;

    asio::any_io_executor core_;
    std::chrono::milliseconds debounce_;
    std::function<void()> onChange_;
    // Shared with the socket's and the timer's pending waits, which may finish after stop().
    std::shared_ptr<Session> session_;
};

}  // namespace nimbra
