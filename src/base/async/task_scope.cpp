#include "base/async/task_scope.hpp"

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "base/async/cancellation.hpp"

namespace nimbra {

// Shared with the completion of every task, which may run after the scope is gone.
struct TaskScope::Tracked {
    explicit Tracked(const asio::any_io_executor& executor) : idle(executor) {
        idle.expires_at(asio::steady_timer::time_point::max());
    }

    std::map<uint64_t, TaskHandle> tasks;
    uint64_t nextId = 0;
    // Woken (cancelled) whenever the last task ends.
    asio::steady_timer idle;
};

TaskScope::TaskScope(asio::any_io_executor executor)
    : executor_(executor), tracked_(std::make_shared<Tracked>(executor)) {}

TaskScope::~TaskScope() {
    cancelAll();
}

TaskHandle TaskScope::spawn(asio::awaitable<void> body) {
    const uint64_t id = tracked_->nextId++;
    auto onDone = [weak = std::weak_ptr<Tracked>(tracked_), id](std::exception_ptr) {
        auto tracked = weak.lock();
        if (!tracked) return;
        tracked->tasks.erase(id);
        if (tracked->tasks.empty()) tracked->idle.cancel();
    };
    TaskHandle handle = spawnTask(executor_, std::move(body), std::move(onDone));
    tracked_->tasks.emplace(id, handle);
    return handle;
}

void TaskScope::cancelAll() {
    // Cancelling can finish a task on the spot, which erases it: walk a copy.
    const auto tasks = tracked_->tasks;
    for (auto [id, handle] : tasks) handle.cancel();
}

std::size_t TaskScope::running() const {
    return tracked_->tasks.size();
}

asio::awaitable<void> TaskScope::drained() {
    const auto tracked = tracked_;
    while (!tracked->tasks.empty()) {
        // The expiry stays at "never": a wait ends only when the last task wakes it.
        asio::error_code ignored;
        co_await tracked->idle.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        // The last task's end and the waiter's own cancellation both end the wait.
        const bool cancelled = co_await isCancelled();
        if (cancelled) co_return;
    }
}

}  // namespace nimbra
