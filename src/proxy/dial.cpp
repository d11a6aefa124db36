#include "proxy/dial.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>
#include <system_error>
#include <tuple>
#include <vector>

#include "proxy/stream_io.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace

asio::awaitable<std::optional<tcp::socket>> dial(const std::string& host, std::uint16_t port,
                                                 AddressFamilies families) {
    // No deadline of its own: callers bound the whole dial with within(), whose cancellation
    // abandons the lookup as well as the connect.
    NameResolver resolver;
    auto addresses = co_await resolver.lookup(host, families);
    if (addresses.empty()) co_return std::nullopt;
    std::vector<tcp::endpoint> endpoints;
    endpoints.reserve(addresses.size());
    for (const auto& address : addresses) endpoints.emplace_back(address, port);
    tcp::socket socket(co_await asio::this_coro::executor);
    auto [error, endpoint] = co_await asio::async_connect(socket, endpoints, kNoThrow);
    if (error) co_return std::nullopt;
    stream_io::tuneForRelaying(socket);
    co_return std::move(socket);
}

asio::awaitable<std::optional<tcp::socket>> within(
    std::chrono::steady_clock::duration limit,
    asio::awaitable<std::optional<tcp::socket>> attempt) {
    // One timer that cancels the attempt: cheaper per tunnel than racing two coroutines. The
    // timer's handler owns the shared state, so a time-out that fires just as the attempt
    // completes finds an empty slot instead of a dead frame.
    struct Deadline {
        explicit Deadline(asio::any_io_executor executor) : timer(std::move(executor)) {}
        asio::steady_timer timer;
        asio::cancellation_signal signal;
    };
    auto executor = co_await asio::this_coro::executor;
    auto deadline = std::make_shared<Deadline>(executor);
    deadline->timer.expires_after(limit);
    deadline->timer.async_wait([deadline](const asio::error_code& error) {
        if (!error) deadline->signal.emit(asio::cancellation_type::terminal);
    });
    std::optional<tcp::socket> outcome;
    try {
        outcome = co_await asio::co_spawn(
            executor, std::move(attempt),
            asio::bind_cancellation_slot(deadline->signal.slot(), asio::use_awaitable));
    } catch (const std::system_error&) {
        // Cancelled by the deadline: an awaited step inside the attempt threw operation_aborted.
    }
    deadline->timer.cancel();
    co_return outcome;
}

}  // namespace nimbra
