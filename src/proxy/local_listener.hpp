#pragma once

#include <asio/awaitable.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// A TCP listener on 127.0.0.1 with its own serial io_context thread: the common frame of the
// HTTP relay and the SOCKS5 gateway. Every accepted connection, and everything it leads to,
// runs on that one thread, so per-connection state needs no locking.
//
// Only the loopback address is ever bound: anything wider would hand every machine on the
// user's network an open proxy into the user's tunnel.
namespace nimbra {

class LocalListener {
public:
    // Called on the service thread for each accepted connection; the socket lives until the
    // returned coroutine ends, and may be moved out of (into a tunnel) before that.
    using ConnectionHandler = std::function<asio::awaitable<void>(asio::ip::tcp::socket&)>;

    // `name` prefixes log lines. The thread starts with the first listen() and runs until
    // destruction, so a service that is never started costs no thread.
    LocalListener(std::string name, ConnectionHandler handler);
    ~LocalListener();
    LocalListener(const LocalListener&) = delete;
    LocalListener& operator=(const LocalListener&) = delete;

    // Binds 127.0.0.1:port (address reuse allowed) and starts accepting. Throws std::system_error
    // when the port cannot be bound. The listener is ready when this returns.
    void listen(std::uint16_t port);

    // Stops accepting and releases the port before returning. Connections already accepted go
    // on. Safe when not listening.
    void close();

    bool listening() const;
    // The port actually bound (useful after listen(0)); 0 when not listening.
    std::uint16_t port() const;

    asio::io_context& context() { return context_; }

private:
    asio::awaitable<void> acceptLoop(std::shared_ptr<asio::ip::tcp::acceptor> acceptor);
    asio::awaitable<void> serve(asio::ip::tcp::socket socket);

    std::string name_;
    ConnectionHandler handler_;
    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    mutable std::mutex mutex_;
    std::shared_ptr<asio::ip::tcp::acceptor> acceptor_;  // guarded by mutex_
    std::uint16_t port_ = 0;                             // guarded by mutex_
    std::once_flag threadStarted_;
    std::thread thread_;
};

}  // namespace nimbra
