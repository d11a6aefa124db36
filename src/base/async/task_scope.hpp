#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "base/async/task.hpp"

namespace nimbra {

// Owns the background tasks of one object: each is tracked from spawn until it ends, all of them
// can be cancelled at once, and the owner can wait until none is left. Use on the executor's
// thread only. Destroying the scope cancels what still runs.
class TaskScope {
public:
    explicit TaskScope(asio::any_io_executor executor);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

    // Starts `body` as a tracked task; the handle cancels just this one.
    TaskHandle spawn(asio::awaitable<void> body);
    // Asks every running task to stop (at its next checkpoint or cancellable wait).
    void cancelAll();
    std::size_t running() const;
    // Ends once no task of this scope runs any more, or when the waiter is cancelled. Not from
    // inside one of the scope's own tasks.
    asio::awaitable<void> drained();

private:
    struct Tracked;

    asio::any_io_executor executor_;
    std::shared_ptr<Tracked> tracked_;
};

}  // namespace nimbra
