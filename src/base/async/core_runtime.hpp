#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <cstddef>
#include <functional>
#include <optional>
#include <thread>

namespace nimbra {

// The places work runs: the core thread, one io_context that owns all controller state and never
// blocks, and two pools for blocking calls, which are awaited from the core thread. Looks at the
// world (probes, scans, tool runs, traffic samples) go to the blocking pool; starting and tearing
// down the connection goes to the lifecycle pool, so a Disconnect never queues behind a slow probe.
//
// The command-line client and the tests drive the core loop on their own thread with run();
// the desktop client gives it a dedicated thread with startThread() so Qt keeps the main one.
class CoreRuntime {
public:
    explicit CoreRuntime(std::size_t blockingThreads = 4);
    ~CoreRuntime();
    CoreRuntime(const CoreRuntime&) = delete;
    CoreRuntime& operator=(const CoreRuntime&) = delete;

    asio::io_context& context() { return io_; }
    asio::any_io_executor executor() { return io_.get_executor(); }
    asio::thread_pool& blockingPool() { return pool_; }
    asio::thread_pool& lifecyclePool() { return lifecycle_; }

    // Runs the core loop on the calling thread until stop().
    void run();
    // Runs the core loop on a new thread until stop(); the destructor joins it.
    void startThread();
    // Ends the core loop once the work already posted has run; safe from any thread.
    void stop();
    // Waits for the thread started by startThread() to end (after stop()).
    void join();
    // Waits for the blocking calls already running on both pools to return; calls still queued
    // never start. Whoever owns what those calls touch drains the pools before letting it go.
    void drainBlockingPool();

    // Queues `work` on the core thread; safe from any thread.
    void post(std::function<void()> work);

    // True on the thread that currently runs the core loop.
    bool onCoreThread() { return io_.get_executor().running_in_this_thread(); }

private:
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepAlive_;
    asio::thread_pool pool_;
    asio::thread_pool lifecycle_{2};
    std::thread thread_;
};

}  // namespace nimbra
