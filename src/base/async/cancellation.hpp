#pragma once

#include <asio/awaitable.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/error.hpp>
#include <asio/this_coro.hpp>
#include <exception>
#include <system_error>

namespace nimbra {

// Our coroutines observe cancellation only where they ask for it: at these checkpoints and in
// waits that are cancellable by nature (timers, sockets). Every task root turns Asio's implicit
// "throw on the next co_await" off (see spawnTask and race), so clean-up code after a
// cancellation can still await its teardown calls.

// The error a cancelled coroutine throws.
inline std::system_error cancellationError() {
    return std::system_error(asio::error::operation_aborted);
}

inline bool isCancellation(const std::exception& error) {
    auto* system = dynamic_cast<const std::system_error*>(&error);
    return system != nullptr && system->code() == asio::error::operation_aborted;
}

inline bool isCancellation(std::exception_ptr error) {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return isCancellation(e);
    } catch (...) {
        return false;
    }
}

// True when the current task has been asked to stop.
inline asio::awaitable<bool> isCancelled() {
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    co_return state.cancelled() != asio::cancellation_type::none;
}

// Throws the cancellation error when the current task has been asked to stop.
inline asio::awaitable<void> throwIfCancelled() {
    // Kept free of co_await inside a condition: GCC 12 miscompiles that form in coroutines.
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none) throw cancellationError();
}

}  // namespace nimbra
