#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution/outstanding_work.hpp>
#include <asio/post.hpp>
#include <asio/prefer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>

#include "base/async/cancellation.hpp"
#include "base/stop_scope.hpp"

namespace nimbra {
namespace detail {

template <typename R>
using BlockingResult = std::conditional_t<std::is_void_v<R>, std::optional<bool>, std::optional<R>>;

// What a cancelled awaiter does to the call it awaits.
enum class OnCancel {
    finish,  // the call runs to its end undisturbed (teardown)
    stop,    // the call's child processes are ended (see StopScope), so it returns early
};

// Runs `fn` on the pool and completes on the awaiting coroutine's own executor. A blocking call
// cannot be interrupted safely in general, so a cancelled awaiter still waits until the call has
// returned; with OnCancel::stop the call runs under a StopScope that the awaiter's cancellation
// triggers, which ends the child processes it waits for.
template <typename Fn, typename Token>
auto asyncRunBlocking(asio::thread_pool& pool, OnCancel onCancel, const Fn& fn, Token&& token) {
    using R = std::invoke_result_t<Fn&>;
    using Signature = void(std::exception_ptr, BlockingResult<R>);
    return asio::async_initiate<Token, Signature>(
        [&pool, onCancel](auto handler, Fn work) {
            auto home = asio::prefer(asio::get_associated_executor(handler),
                                     asio::execution::outstanding_work.tracked);
            auto stop = std::make_shared<std::stop_source>();
            auto cancelSlot = asio::get_associated_cancellation_slot(handler);
            if (onCancel == OnCancel::stop && cancelSlot.is_connected()) {
                cancelSlot.assign([stop](asio::cancellation_type) { stop->request_stop(); });
            }
            asio::post(pool, [handler = std::move(handler), work = std::move(work),
                              home = std::move(home), stop, onCancel]() mutable {
                std::exception_ptr error;
                BlockingResult<R> result;
                try {
                    const StopScope scope(onCancel == OnCancel::stop ? stop->get_token()
                                                                     : std::stop_token());
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
                    // The slot belongs to the awaiter; it must not call into a finished step.
                    auto slot = asio::get_associated_cancellation_slot(handler);
                    if (slot.is_connected()) slot.clear();
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

// The one body of the awaits below: runs a named copy of `fn` (passed on by reference, since
// GCC 12 destroys the temporaries of a co_await full-expression twice, which for a callable
// holding a shared_ptr frees what it points to) and, when asked, turns a cancellation that came
// meanwhile into the cancellation error instead of the call's result.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitOnPool(asio::thread_pool& pool,
                                                                     OnCancel onCancel, Fn&& fn,
                                                                     bool throwWhenCancelled) {
    static_assert(kSafeInCoAwait<Fn>,
                  "bind a callable that owns resources to a named local before awaiting it");
    using R = std::invoke_result_t<std::decay_t<Fn>&>;
    const std::decay_t<Fn> work(fn);
    auto result = co_await asyncRunBlocking(pool, onCancel, work, asio::use_awaitable);
    if (throwWhenCancelled) co_await throwIfCancelled();
    if constexpr (!std::is_void_v<R>) co_return std::move(*result);
}

}  // namespace detail

// Awaits a blocking step run on the pool, resuming on the core thread. A cancellation meanwhile
// ends the child processes the step waits for; the step's result is then dropped and the
// cancellation error thrown instead, so no stale value reaches the caller.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitBlocking(asio::thread_pool& pool,
                                                                       Fn&& fn) {
    co_return co_await detail::awaitOnPool(pool, detail::OnCancel::stop, std::forward<Fn>(fn),
                                           true);
}

// Awaits a probe whose result the code after it judges itself: a cancellation ends the child
// processes it waits for, so it comes back early (as a failed probe), and the code after it runs.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitInterruptible(asio::thread_pool& pool,
                                                                            Fn&& fn) {
    co_return co_await detail::awaitOnPool(pool, detail::OnCancel::stop, std::forward<Fn>(fn),
                                           false);
}

// Awaits a blocking clean-up call on the pool and carries on whether or not the awaiter was
// cancelled: teardown must finish and let the code after it run.
template <typename Fn>
asio::awaitable<std::invoke_result_t<std::decay_t<Fn>&>> awaitTeardown(asio::thread_pool& pool,
                                                                       Fn&& fn) {
    co_return co_await detail::awaitOnPool(pool, detail::OnCancel::finish, std::forward<Fn>(fn),
                                           false);
}

}  // namespace nimbra
