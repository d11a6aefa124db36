#pragma once

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>

#include "base/async/cancellation.hpp"

namespace nimbra {

// Waits on the current executor; throws the cancellation error when the task is cancelled before
// or during the wait.
inline asio::awaitable<void> sleepFor(std::chrono::steady_clock::duration duration) {
    co_await throwIfCancelled();
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    co_await timer.async_wait(asio::use_awaitable);
}

}  // namespace nimbra
