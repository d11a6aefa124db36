#include "proxy/dial.hpp"

#include <asio/connect.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <tuple>

#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "proxy/stream_io.hpp"

namespace nimbra {
namespace {

using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

asio::awaitable<std::optional<tcp::resolver::results_type>> resolve(const std::string& host,
                                                                    std::uint16_t port,
                                                                    AddressFamilies families) {
    auto executor = co_await asio::this_coro::executor;
    asio::error_code error;
    auto literal = asio::ip::make_address(host, error);
    bool wrongFamily = !error && families == AddressFamilies::ipv4Only && !literal.is_v4();
    if (wrongFamily) co_return std::nullopt;
    if (!error)
        co_return tcp::resolver::results_type::create(tcp::endpoint(literal, port), host,
                                                      std::to_string(port));
    tcp::resolver resolver(executor);
    auto service = std::to_string(port);
    tcp::resolver::results_type results;
    asio::error_code resolveError;
    if (families == AddressFamilies::ipv4Only) {
        std::tie(resolveError, results) =
            co_await resolver.async_resolve(tcp::v4(), host, service, kNoThrow);
    } else {
        std::tie(resolveError, results) = co_await resolver.async_resolve(host, service, kNoThrow);
    }
    if (resolveError || results.empty()) co_return std::nullopt;
    co_return results;
}

}  // namespace

asio::awaitable<std::optional<tcp::socket>> dial(const std::string& host, std::uint16_t port,
                                                 AddressFamilies families) {
    auto endpoints = co_await resolve(host, port, families);
    if (!endpoints) co_return std::nullopt;
    tcp::socket socket(co_await asio::this_coro::executor);
    auto [error, endpoint] = co_await asio::async_connect(socket, *endpoints, kNoThrow);
    if (error) co_return std::nullopt;
    stream_io::tuneForRelaying(socket);
    co_return std::move(socket);
}

asio::awaitable<std::optional<tcp::socket>> within(
    std::chrono::steady_clock::duration limit,
    asio::awaitable<std::optional<tcp::socket>> attempt) {
    auto outcome = co_await race(std::move(attempt), sleepFor(limit));
    if (outcome.index() != 0) co_return std::nullopt;
    co_return std::move(std::get<0>(outcome));
}

}  // namespace nimbra
