#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <utility>

namespace nimbra {

// A handle on a task started with spawnTask: it can ask the task to stop. Cancelling is a request;
// the task stops at its next checkpoint or cancellable wait. Use on the task's own executor only.
class TaskHandle {
public:
    TaskHandle() = default;
    explicit TaskHandle(std::shared_ptr<asio::cancellation_signal> signal)
        : signal_(std::move(signal)) {}

    void cancel() {
        if (signal_) signal_->emit(asio::cancellation_type::terminal);
    }

private:
    std::shared_ptr<asio::cancellation_signal> signal_;
};

namespace detail {

// Every task root observes cancellation only at explicit checkpoints (see cancellation.hpp), and
// starts on a later turn of its executor, so the caller holds the handle before the body runs.
inline asio::awaitable<void> taskRoot(asio::awaitable<void> body) {
    co_await asio::this_coro::throw_if_cancelled(false);
    co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    co_await std::move(body);
}

}  // namespace detail

// Starts `body` on `executor` and returns a handle that can cancel it. `onDone` (optional) runs on
// the executor when the body has ended, with the exception that escaped it, if any.
inline TaskHandle spawnTask(asio::any_io_executor executor, asio::awaitable<void> body,
                            std::function<void(std::exception_ptr)> onDone = {}) {
    auto signal = std::make_shared<asio::cancellation_signal>();
    asio::co_spawn(
        executor, detail::taskRoot(std::move(body)),
        asio::bind_cancellation_slot(
            signal->slot(), [signal, onDone = std::move(onDone)](std::exception_ptr error) {
                if (onDone) onDone(error);
            }));
    return TaskHandle(signal);
}

}  // namespace nimbra
