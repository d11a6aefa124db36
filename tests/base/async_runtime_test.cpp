// The async building blocks every controller flow relies on, exercised with real threads and
// short timings: the race returns the first outcome only after the loser has cleaned up, and a
// blocking call is never interrupted by its awaiter's cancellation, but its result is dropped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "base/async/await_blocking.hpp"
#include "base/async/core_runtime.hpp"
#include "base/async/race.hpp"
#include "base/async/sleep.hpp"
#include "base/async/task.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct TimedOut : std::runtime_error {
    TimedOut() : std::runtime_error("timed out") {}
};

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

TEST(Race, ReturnsTheWinnerOnlyAfterTheLoserHasCleanedUp) {
    CoreRuntime runtime;
    std::atomic<bool> loserCleanedUp{false};
    int winnerIndex = -1;
    bool cleanupSeenByCaller = false;
    Clock::duration elapsed{};

    auto quick = []() -> asio::awaitable<int> {
        co_await sleepFor(20ms);
        co_return 7;
    };
    auto slow = [&]() -> asio::awaitable<void> {
        std::exception_ptr stopped;
        try {
            co_await sleepFor(10s);
        } catch (const std::system_error&) {
            stopped = std::current_exception();
        }
        // Clean-up after a cancellation still awaits blocking work.
        co_await awaitTeardown(runtime.blockingPool(), [&] {
            std::this_thread::sleep_for(60ms);
            loserCleanedUp = true;
        });
        if (stopped) std::rethrow_exception(stopped);
    };

    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        const auto start = Clock::now();
        auto result = co_await race(quick(), slow());
        elapsed = Clock::now() - start;
        winnerIndex = static_cast<int>(result.index());
        EXPECT_EQ(std::get<0>(result), 7);
        cleanupSeenByCaller = loserCleanedUp;
    }());

    EXPECT_FALSE(error);
    EXPECT_EQ(winnerIndex, 0);
    EXPECT_TRUE(cleanupSeenByCaller);
    EXPECT_GE(elapsed, 80ms);
    EXPECT_LT(elapsed, 5s);
}

TEST(Race, AnEarlyErrorWinsWithoutWaitingForTheOtherTimer) {
    CoreRuntime runtime;
    auto failing = []() -> asio::awaitable<int> {
        co_await sleepFor(10ms);
        throw std::runtime_error("start failed");
    };
    auto timeout = []() -> asio::awaitable<void> {
        co_await sleepFor(30s);
        throw TimedOut();
    };

    const auto start = Clock::now();
    auto error = runToEnd(
        runtime, [&]() -> asio::awaitable<void> { co_await race(failing(), timeout()); }());

    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), std::runtime_error);
    EXPECT_LT(Clock::now() - start, 2s);
}

TEST(Race, ATimeoutWaitsForABlockingStartToReturnBeforeReporting) {
    CoreRuntime runtime;
    std::atomic<bool> blockingReturned{false};
    bool returnedBeforeReport = false;

    auto start = [&]() -> asio::awaitable<int> {
        int value = co_await awaitBlocking(runtime.blockingPool(), [&] {
            std::this_thread::sleep_for(150ms);
            blockingReturned = true;
            return 1;
        });
        co_return value;
    };
    auto timeout = []() -> asio::awaitable<void> {
        co_await sleepFor(30ms);
        throw TimedOut();
    };

    const auto begin = Clock::now();
    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        try {
            co_await race(start(), timeout());
        } catch (const TimedOut&) {
            returnedBeforeReport = blockingReturned;
            throw;
        }
    }());

    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), TimedOut);
    EXPECT_TRUE(returnedBeforeReport);
    EXPECT_GE(Clock::now() - begin, 150ms);
}

TEST(AwaitBlocking, CancelledAwaiterWaitsForTheCallAndDropsItsResult) {
    CoreRuntime runtime;
    std::atomic<bool> callFinished{false};
    bool finishedWhenTaskEnded = false;
    int written = 0;
    std::exception_ptr outcome;

    // A coroutine lambda must outlive its frame, so it is a named local, not a temporary.
    auto body = [&]() -> asio::awaitable<void> {
        written = co_await awaitBlocking(runtime.blockingPool(), [&] {
            std::this_thread::sleep_for(120ms);
            callFinished = true;
            return 42;
        });
    };
    auto task = spawnTask(runtime.executor(), body(), [&](std::exception_ptr error) {
        outcome = error;
        finishedWhenTaskEnded = callFinished;
        runtime.stop();
    });
    asio::steady_timer cancelSoon(runtime.context(), 20ms);
    cancelSoon.async_wait([&](std::error_code) { task.cancel(); });
    runtime.run();

    EXPECT_TRUE(isCancellation(outcome));
    EXPECT_TRUE(finishedWhenTaskEnded);
    EXPECT_EQ(written, 0);
}

TEST(AwaitBlocking, ResumesOnTheCoreThreadAndPropagatesErrors) {
    CoreRuntime runtime;
    std::thread::id blockingThread, resumedThread, coreThread = std::this_thread::get_id();

    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        co_await awaitBlocking(runtime.blockingPool(),
                               [&] { blockingThread = std::this_thread::get_id(); });
        resumedThread = std::this_thread::get_id();
        co_await awaitBlocking(runtime.blockingPool(),
                               []() -> int { throw std::invalid_argument("bad input"); });
    }());

    EXPECT_NE(blockingThread, coreThread);
    EXPECT_EQ(resumedThread, coreThread);
    ASSERT_TRUE(error);
    EXPECT_THROW(std::rethrow_exception(error), std::invalid_argument);
}

TEST(AwaitBlocking, ACallableThatOwnsResourcesIsReleasedExactlyOnce) {
    CoreRuntime runtime;
    auto owned = std::make_shared<int>(41);
    long countDuringAwait = 0;
    auto error = runToEnd(runtime, [&]() -> asio::awaitable<void> {
        auto work = [owned] { return *owned + 1; };  // a named local, as the helper requires
        const int value = co_await awaitBlocking(runtime.blockingPool(), work);
        EXPECT_EQ(value, 42);
        countDuringAwait = owned.use_count();
    }());
    EXPECT_FALSE(error);
    EXPECT_EQ(countDuringAwait, 2);  // ours and the local callable's
    EXPECT_EQ(owned.use_count(), 1);
}

TEST(Cancellation, CheckpointThrowsOnlyAfterCancel) {
    CoreRuntime runtime;
    int checkpointsPassed = 0;
    std::exception_ptr outcome;
    TaskHandle task;
    auto body = [&]() -> asio::awaitable<void> {
        co_await throwIfCancelled();
        ++checkpointsPassed;
        task.cancel();
        // Without a checkpoint, ordinary awaits go on after a cancel (clean-up relies on it).
        co_await awaitTeardown(runtime.blockingPool(), [] {});
        ++checkpointsPassed;
        co_await throwIfCancelled();
        ++checkpointsPassed;
    };
    task = spawnTask(runtime.executor(), body(), [&](std::exception_ptr error) {
        outcome = error;
        runtime.stop();
    });
    runtime.run();

    EXPECT_EQ(checkpointsPassed, 2);
    EXPECT_TRUE(isCancellation(outcome));
}

}  // namespace
}  // namespace nimbra
