#include "proxy/local_listener.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <csignal>
#include <exception>
#include <future>

#include "base/log.hpp"
#include "base/resource_limits.hpp"
#include "proxy/stream_io.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;

// After a failed accept (typically out of descriptors) the pending connection is still queued,
// so retrying at once would spin. A short pause lets tunnels end and free descriptors.
constexpr auto kAcceptBackOff = std::chrono::milliseconds(100);

void prepareProcessForRelaying() {
    // Writing into a connection the peer has reset raises SIGPIPE, and splice(2) has no
    // MSG_NOSIGNAL: a browser closing a tab must not end the client. Children get the default
    // disposition back when spawned.
    std::signal(SIGPIPE, SIG_IGN);
    // Every tunnel holds two descriptors; a browser opens hundreds of tunnels.
    raiseOpenFileLimit();
}

}  // namespace

LocalListener::LocalListener(std::string name, ConnectionHandler handler)
    : name_(std::move(name)), handler_(std::move(handler)), work_(context_.get_executor()) {
    static std::once_flag prepared;
    std::call_once(prepared, prepareProcessForRelaying);
}

LocalListener::~LocalListener() {
    close();
    work_.reset();
    context_.stop();
    if (thread_.joinable()) thread_.join();
}

void LocalListener::listen(std::uint16_t port) {
    std::call_once(threadStarted_, [this] { thread_ = std::thread([this] { context_.run(); }); });
    auto acceptor = std::make_shared<tcp::acceptor>(context_);
    tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor->open(endpoint.protocol());
    acceptor->set_option(tcp::acceptor::reuse_address(true));
    acceptor->bind(endpoint);
    acceptor->listen(asio::socket_base::max_listen_connections);
    {
        std::lock_guard lock(mutex_);
        acceptor_ = acceptor;
        port_ = acceptor->local_endpoint().port();
    }
    asio::co_spawn(context_, acceptLoop(std::move(acceptor)), asio::detached);
}

void LocalListener::close() {
    std::shared_ptr<tcp::acceptor> acceptor;
    {
        std::lock_guard lock(mutex_);
        acceptor = std::exchange(acceptor_, nullptr);
        port_ = 0;
    }
    if (!acceptor) return;
    // The acceptor belongs to the service thread; close it there, and wait so that the port is
    // free when we return.
    auto closeIt = [acceptor] {
        asio::error_code ignored;
        acceptor->close(ignored);
    };
    if (context_.get_executor().running_in_this_thread()) {
        closeIt();
        return;
    }
    std::packaged_task<void()> task(closeIt);
    auto done = task.get_future();
    asio::post(context_, std::move(task));
    done.wait();
}

bool LocalListener::listening() const {
    std::lock_guard lock(mutex_);
    return acceptor_ != nullptr;
}

std::uint16_t LocalListener::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

asio::awaitable<void> LocalListener::acceptLoop(std::shared_ptr<tcp::acceptor> acceptor) {
    asio::steady_timer backOff(context_);
    for (;;) {
        auto [error, socket] =
            co_await acceptor->async_accept(asio::experimental::as_tuple(asio::use_awaitable));
        if (!acceptor->is_open()) co_return;
        if (error) {
            logLine(name_, "accept failed (" + error.message() + "); retrying");
            backOff.expires_after(kAcceptBackOff);
            co_await backOff.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            continue;
        }
        asio::co_spawn(context_, serve(std::move(socket)), asio::detached);
    }
}

asio::awaitable<void> LocalListener::serve(tcp::socket socket) {
    stream_io::tuneForRelaying(socket);
    try {
        co_await handler_(socket);
    } catch (const std::exception& e) {
        // One connection's trouble (typically out of memory) must not end the others.
        logLine(name_, std::string("connection dropped: ") + e.what());
    }
}

}  // namespace nimbra
