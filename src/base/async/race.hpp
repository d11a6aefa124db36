#pragma once

#include <array>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/async/task.hpp"

namespace nimbra {
namespace detail {

template <typename T>
using RaceValue = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

// Wraps a race participant so that it reports its value as optional (co_spawn needs a value even
// when the body threw) and observes cancellation only at explicit checkpoints.
template <typename T>
asio::awaitable<std::optional<RaceValue<T>>> participant(asio::awaitable<T> body) {
    co_await asio::this_coro::throw_if_cancelled(false);
    if constexpr (std::is_void_v<T>) {
        co_await std::move(body);
        co_return std::monostate{};
    } else {
        co_return co_await std::move(body);
    }
}

}  // namespace detail

// Runs `first` and `second` concurrently and returns (or throws) the outcome of whichever ends
// first, value or error alike. The other one is cancelled, and race returns only after it has
// ended too, so its clean-up has run before the caller goes on. The result's index tells which
// one won. Cancelling the awaiter of race cancels both.
template <typename A, typename B>
asio::awaitable<std::variant<detail::RaceValue<A>, detail::RaceValue<B>>> race(
    asio::awaitable<A> first, asio::awaitable<B> second) {
    auto executor = co_await asio::this_coro::executor;
    auto [order, firstError, firstValue, secondError, secondValue] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, detail::participant(std::move(first)),
                           asio::experimental::deferred),
            asio::co_spawn(executor, detail::participant(std::move(second)),
                           asio::experimental::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);

    using Result = std::variant<detail::RaceValue<A>, detail::RaceValue<B>>;
    if (order[0] == 0) {
        if (firstError) std::rethrow_exception(firstError);
        co_return Result(std::in_place_index<0>, std::move(*firstValue));
    }
    if (secondError) std::rethrow_exception(secondError);
    co_return Result(std::in_place_index<1>, std::move(*secondValue));
}

}  // namespace nimbra
