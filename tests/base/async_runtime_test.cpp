// The async building blocks every controller flow relies on, with real threads: the race returns
// the first outcome only after the other side has seen its cancellation and cleaned up, and a
// blocking call is never interrupted by its awaiter's cancellation, but its result is dropped and
// the child processes it waits for are ended (unless it is a teardown).

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

#include "base/async/await_blocking.hpp"
#include "base/async/core_runtime.hpp"
#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "base/async/task.hpp"
#include "base/async/task_scope.hpp"
#include "base/subprocess.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;

// Longer than CTest lets a test run: a race that waited for it would time the test out.
constexpr auto kBeyondCtest = std::chrono::minutes(30);

struct TimedOut {};

// Runs `body` as a task on the runtime's core loop and returns the exception that ended it.
std::exception_ptr runToEnd(CoreRuntime& runtime, asio::awaitable<void> body) {
    std::exception_ptr outcome;
    spawnTask(runtime.executor(), std::move(body), [&](std::exception_ptr error) {
        outcome = error;
        runtime.stop();
    });
    runtime.run();
    return outcome;
}

// The side of a race that would wait past CTest's limit: records that it was cancelled, then
// still awaits a blocking clean-up, as the connect flow's losers do.
struct Loser {
    CoreRuntime& runtime;
    bool sawCancellation = false;
    std::atomic<bool> cleanedUp{false};

    asio::awaitable<void> run() {
        std::exception_ptr stopped;
        try {
            co_await sleepFor(kBeyondCtest);
        } catch (const std::system_error& error) {
            sawCancellation = isCancellation(error);
            stopped = std::current_exception();
        }
        co_await awaitTeardown(runtime.blockingPool(), [this] { cleanedUp = true; });
        if (stopped) std::rethrow_exception(stopped);
    }
};

TEST(Race, ReturnsTheFirstValueOrErrorOnlyAfterTheOtherSideWasCancelledAndCleanedUp) {
    for (const bool winnerThrows : {false, true}) {
        SCOPED_TRACE(winnerThrows ? "error" : "value");
        CoreRuntime runtime;
        Loser loser{runtime};
        int value = 0;
        bool cleanedUpBeforeReturn = false;
        auto winner = [&]() -> asio::awaitable<int> {
            co_await sleepFor(1ms);
            if (winnerThrows) throw std::invalid_argument("start failed");
            co_return 7;
        };
        auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
            std::exception_ptr raised;
            try {
                auto result = co_await race(winner(), loser.run());
                value = std::get<0>(result);
            } catch (...) {
                raised = std::current_exception();
            }
            cleanedUpBeforeReturn = loser.cleanedUp;
            if (raised) std::rethrow_exception(raised);
        }());

        EXPECT_EQ(value, winnerThrows ? 0 : 7);
        EXPECT_EQ(error != nullptr, winnerThrows);
        if (error) {
            EXPECT_THROW(std::rethrow_exception(error), std::invalid_argument);
        }
        EXPECT_TRUE(loser.sawCancellation);
        EXPECT_TRUE(cleanedUpBeforeReturn);
    }
}

TEST(AwaitBlocking, ACancelledAwaiterWaitsForTheRunningCallAndDropsItsResult) {
    CoreRuntime runtime;
    std::promise<void> release;
    std::atomic<bool> callReturned{false};
    bool returnedBeforeReport = false;
    bool startGotItsValue = false;

    auto start = [&]() -> asio::awaitable<int> {
        const int value = co_await awaitBlocking(runtime.blockingPool(), [&] {
            release.get_future().wait();
            callReturned = true;
            return 1;
        });
        startGotItsValue = true;
        co_return value;
    };
    // The time-out wins the race while the call is still running: the call is let go only on a
    // later turn of the core loop, which then cancels the start.
    auto timeout = [&]() -> asio::awaitable<void> {
        asio::post(runtime.executor(), [&] { release.set_value(); });
        throw TimedOut();
        co_return;
    };
    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        try {
            co_await race(start(), timeout());
        } catch (const TimedOut&) {
            returnedBeforeReport = callReturned;
            throw;
        }
    }());

    EXPECT_TRUE(returnedBeforeReport);
    EXPECT_FALSE(startGotItsValue);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), TimedOut);
}

// How each kind of await treats a child process that its call waits for when the awaiter is
// cancelled: a connect step and a probe end it, a teardown lets it finish.
TEST(AwaitBlocking, ACancelledAwaiterEndsTheChildItsCallWaitsForUnlessItIsATeardown) {
    enum class Kind { blocking, interruptible, teardown };
    for (const Kind kind : {Kind::blocking, Kind::interruptible, Kind::teardown}) {
        SCOPED_TRACE(static_cast<int>(kind));
        CoreRuntime runtime;
        std::atomic<bool> childStopped{false};
        bool codeAfterRan = false;
        // Long enough that only a stop ends it early; the teardown's child ends on its own.
        auto waitForChild = [&childStopped, kind] {
            Subprocess::Options sleeper;
            sleeper.argv = {"sleep", kind == Kind::teardown ? "0.2" : "30"};
            try {
                Subprocess::run(sleeper, std::chrono::minutes(1));
            } catch (const std::system_error& error) {
                childStopped = isCancellation(error);
            }
        };
        auto step = [&]() -> asio::awaitable<void> {
            if (kind == Kind::blocking)
                co_await awaitBlocking(runtime.blockingPool(), waitForChild);
            if (kind == Kind::interruptible)
                co_await awaitInterruptible(runtime.blockingPool(), waitForChild);
            if (kind == Kind::teardown)
                co_await awaitTeardown(runtime.blockingPool(), waitForChild);
            codeAfterRan = true;
        };
        auto timeout = [&]() -> asio::awaitable<void> {
            co_await sleepFor(50ms);
            throw TimedOut();
        };
        auto error = runToEnd(
            runtime, [&]() -> asio::awaitable<void> { co_await race(step(), timeout()); }());

        EXPECT_EQ(childStopped, kind != Kind::teardown);
        EXPECT_EQ(codeAfterRan, kind != Kind::blocking);
        EXPECT_THROW(std::rethrow_exception(error), TimedOut);
    }
}

TEST(AwaitBlocking, ResumesOnTheCoreThreadAndPropagatesErrors) {
    CoreRuntime runtime;
    const auto coreThread = std::this_thread::get_id();
    std::thread::id blockingThread, resumedThread;

    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        const int value = co_await awaitBlocking(runtime.blockingPool(), [&] {
            blockingThread = std::this_thread::get_id();
            return 42;
        });
        EXPECT_EQ(value, 42);
        resumedThread = std::this_thread::get_id();
        co_await awaitBlocking(runtime.blockingPool(),
                               []() -> int { throw std::invalid_argument("bad input"); });
    }());

    EXPECT_NE(blockingThread, coreThread);
    EXPECT_EQ(resumedThread, coreThread);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), std::invalid_argument);
}

TEST(TaskScope, TracksItsTasksCancelsThemAllAndReportsWhenNoneIsLeft) {
    CoreRuntime runtime;
    TaskScope scope(runtime.executor());
    int cancelled = 0;
    bool quickEnded = false;
    auto sleeper = [&]() -> asio::awaitable<void> {
        try {
            co_await sleepFor(kBeyondCtest);
        } catch (const std::system_error& error) {
            if (isCancellation(error)) ++cancelled;
        }
    };
    // Named: a coroutine lambda must outlive the task it starts.
    auto quick = [&]() -> asio::awaitable<void> {
        quickEnded = true;
        co_return;
    };
    scope.spawn(sleeper());
    scope.spawn(sleeper());
    scope.spawn(quick());
    EXPECT_EQ(scope.running(), 3u);

    bool drained = false;
    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        co_await sleepFor(10ms);  // the quick one ends on its own; the sleepers stay
        EXPECT_TRUE(quickEnded);
        EXPECT_EQ(scope.running(), 2u);
        scope.cancelAll();
        co_await scope.drained();
        drained = true;
    }());
    EXPECT_FALSE(error);
    EXPECT_TRUE(drained);
    EXPECT_EQ(cancelled, 2);
    EXPECT_EQ(scope.running(), 0u);
}

}  // namespace
}  // namespace nimbra
