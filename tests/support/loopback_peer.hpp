#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/unique_fd.hpp"

namespace nimbra::testing {

using namespace std::chrono_literals;

// One blocking TCP connection for tests, every read bounded by a time-out so that a broken
// relay fails the test instead of hanging it.
class TestConnection {
public:
    explicit TestConnection(UniqueFd fd) : fd_(std::move(fd)) {}
    // Connects to 127.0.0.1:port; throws std::runtime_error when nobody accepts.
    static TestConnection to(int port);

    void send(std::string_view bytes);
    // Exactly `count` bytes; throws when they do not arrive in time or the peer closes first.
    std::string recvExact(std::size_t count, std::chrono::milliseconds timeout = 5s);
    // Everything until the peer closes; throws when it stays open past the time-out.
    std::string recvUntilClosed(std::chrono::milliseconds timeout = 5s);
    // Whether the peer closed (or reset) within the time-out without sending anything.
    bool closesWithoutData(std::chrono::milliseconds timeout = 5s);
    void shutdownWrite();
    int fd() const { return fd_.get(); }

private:
    UniqueFd fd_;
};

// A TCP server on 127.0.0.1 that runs `session` on a thread of its own for each connection.
// The destructor stops accepting, shuts the open sessions' sockets down and joins them.
class TestServer {
public:
    using Session = std::function<void(TestConnection&)>;

    explicit TestServer(Session session);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    int accepted() const { return accepted_; }

private:
    void acceptLoop();

    Session session_;
    UniqueFd listener_;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::list<int> openFds_;  // guarded by mutex_
    std::list<std::thread> sessions_;
    std::thread acceptor_;
};

// Sessions for TestServer.
void echoSession(TestConnection& connection);
void discardSession(TestConnection& connection);

}  // namespace nimbra::testing
