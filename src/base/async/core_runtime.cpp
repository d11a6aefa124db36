#include "base/async/core_runtime.hpp"

#include <asio/post.hpp>

namespace nimbra {

CoreRuntime::CoreRuntime(std::size_t blockingThreads)
    : keepAlive_(asio::make_work_guard(io_)), pool_(blockingThreads) {}

CoreRuntime::~CoreRuntime() {
    stop();
    join();
    // Blocking calls still running are allowed to finish; their completions are dropped with io_.
    drainBlockingPool();
}

void CoreRuntime::run() {
    io_.run();
}

void CoreRuntime::startThread() {
    thread_ = std::thread([this] { io_.run(); });
}

void CoreRuntime::stop() {
    asio::post(io_, [this] {
        keepAlive_.reset();
        io_.stop();
    });
}

void CoreRuntime::join() {
    if (thread_.joinable()) thread_.join();
}

void CoreRuntime::drainBlockingPool() {
    pool_.stop();
    lifecycle_.stop();
    pool_.join();
    lifecycle_.join();
}

void CoreRuntime::post(std::function<void()> work) {
    asio::post(io_, std::move(work));
}

}  // namespace nimbra
