#include "origins.hpp"

#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::bench {
namespace {

using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::string_view kResponse =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 13\r\n\r\nhello, world\n";

tcp::acceptor listenOnLoopback(asio::io_context& context) {
    return tcp::acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
}

asio::awaitable<void> sink(tcp::socket socket, std::atomic<std::uint64_t>& sunk) {
    std::vector<char> buffer(256 * 1024);
    for (;;) {
        auto [error, count] = co_await socket.async_read_some(asio::buffer(buffer), kNoThrow);
        if (error) co_return;
        sunk.fetch_add(count, std::memory_order_relaxed);
    }
}

asio::awaitable<void> echo(tcp::socket socket) {
    std::array<char, 4096> buffer{};
    for (;;) {
        auto [readError, count] = co_await socket.async_read_some(asio::buffer(buffer), kNoThrow);
        if (readError) co_return;
        auto [writeError, written] =
            co_await asio::async_write(socket, asio::buffer(buffer, count), kNoThrow);
        if (writeError) co_return;
    }
}

// Requests carry no body, so each blank line ends one; pipelined requests get their answers in
// one write.
asio::awaitable<void> httpOrigin(tcp::socket socket) {
    std::string received, answers;
    std::array<char, 4096> buffer{};
    for (;;) {
        auto [readError, count] = co_await socket.async_read_some(asio::buffer(buffer), kNoThrow);
        if (readError) co_return;
        received.append(buffer.data(), count);
        answers.clear();
        for (auto end = received.find("\r\n\r\n"); end != std::string::npos;
             end = received.find("\r\n\r\n")) {
            received.erase(0, end + 4);
            answers += kResponse;
        }
        auto [writeError, written] =
            co_await asio::async_write(socket, asio::buffer(answers), kNoThrow);
        if (writeError) co_return;
    }
}

template <typename Serve>
asio::awaitable<void> acceptLoop(tcp::acceptor& acceptor, Serve serve) {
    for (;;) {
        auto [error, socket] = co_await acceptor.async_accept(kNoThrow);
        if (error == asio::error::operation_aborted) co_return;
        if (error) continue;
        socket.set_option(tcp::no_delay(true));
        asio::co_spawn(acceptor.get_executor(), serve(std::move(socket)), asio::detached);
    }
}

}  // namespace

Origins::Origins()
    : sink_(listenOnLoopback(context_)),
      echo_(listenOnLoopback(context_)),
      http_(listenOnLoopback(context_)) {
    asio::co_spawn(context_,
                   acceptLoop(sink_, [this](tcp::socket s) { return sink(std::move(s), sunk_); }),
                   asio::detached);
    asio::co_spawn(context_, acceptLoop(echo_, echo), asio::detached);
    asio::co_spawn(context_, acceptLoop(http_, httpOrigin), asio::detached);
    thread_ = std::thread([this] { context_.run(); });
}

Origins::~Origins() {
    context_.stop();
    thread_.join();
}

}  // namespace nimbra::bench
