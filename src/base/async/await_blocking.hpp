#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/async/cancellation.hpp"

namespace nimbra {
namespace detail {

template <typename R>
using BlockingResult = std::conditional_t<std::is_void_v<R>, std::optional<bool>, std::optional<R>>;

// Runs `fn` on the pool and completes on the awaiting coroutine's own executor. It deliberately
// installs no cancellation handler: a blocking call cannot be interrupted safely, so a cancelled
// awaiter still waits until the call has returned.
template <typename Fn, typename Token>
auto asyncRunBlocking(asio::thread_pool& pool, const Fn& fn, Token&& token) {
    using R = std::invoke_result_t<Fn&>;
    using Signature = void(std::exception_ptr, BlockingResult<R>);
    return asio::async_initiate<Token, Signature>(
        [&pool](auto handler, Fn work) {
            auto home = asio::prefer(asio::get_associated_executor(handler),
                                     asio::execution::outstanding_work.tracked);
            asio::post(pool, [handler = std::move(handler), work = std::move(work),
                              home = std::move(home)]() mutable {
                std::exception_ptr error;
                BlockingResult<R> result;
                try {
                    if constexpr (std::is_void_v<R>) {
                        work();
                        result = true;
                    } else {
                        result.emplace(work());
                    }
                } catch (...) {
                    error = std::current_exception();
                }
                asio::post(home, [handler = std::move(handler), error,
                                  result = std::move(result)]() mutable {
                    std::move(handler)(error, std::move(result));
                });
            });
        },
        token, fn);
}

// GCC 12 destroys a temporary that lives in a full-expression containing co_await twice. A
// callable passed as such a temporary is therefore allowed only when its destruction does
// nothing; one that owns something (a shared_ptr capture, a string) must be a named local.
template <typename Fn>
constexpr bool kSafeInCoAwait =
    std::is_lvalue_reference_v<Fn> || std::is_trivially_destructible_v<std::remove_reference_t<Fn>>;

}  // namespace detail

// Awaits a blocking call run on the pool, resuming on the core thread. The call always runs to
// its end; when the awaiter was cancelled meanwhile, its result is dropped and the cancellation
// error is thrown instead, so no stale value reaches the caller.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitBlocking(asio::thread_pool& pool,
                                                                       Fn&& fn) {
    static_assert(detail::kSafeInCoAwait<Fn>,
                  "bind a callable that owns resources to a named local before awaiting it");
    using R = std::invoke_result_t<std::decay_t<Fn>&>;
    // A named copy, passed on by reference: GCC 12 destroys the temporaries of a co_await
    // full-expression twice, which for a callable holding a shared_ptr frees what it points to.
    const std::decay_t<Fn> work(fn);
    auto result = co_await detail::asyncRunBlocking(pool, work, asio::use_awaitable);
    co_await throwIfCancelled();
    if constexpr (!std::is_void_v<R>) co_return std::move(*result);
}

// Awaits a blocking clean-up call on the pool and carries on whether or not the awaiter was
// cancelled: teardown must finish and let the code after it run.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitTeardown(asio::thread_pool& pool,
                                                                       Fn&& fn) {
    static_assert(detail::kSafeInCoAwait<Fn>,
                  "bind a callable that owns resources to a named local before awaiting it");
    using R = std::invoke_result_t<std::decay_t<Fn>&>;
    const std::decay_t<Fn> work(fn);  // named, as in awaitBlocking
    auto result = co_await detail::asyncRunBlocking(pool, work, asio::use_awaitable);
    if constexpr (!std::is_void_v<R>) co_return std::move(*result);
}

}  // namespace nimbra
