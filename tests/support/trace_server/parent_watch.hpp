#pragma once

#include <sys/types.h>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <functional>

namespace nimbra::trace_server {

// Calls `onParentGone` once the process that started us has exited (we get re-parented), so a
// test run that crashes does not leave a server behind. Polls getppid(): unlike
// PR_SET_PDEATHSIG it does not fire when merely the parent's spawning thread ends.
class ParentWatch {
public:
    ParentWatch(asio::io_context& io, std::function<void()> onParentGone);

private:
    void arm();

    asio::steady_timer timer_;
    pid_t parent_;
    std::function<void()> onParentGone_;
};

}  // namespace nimbra::trace_server
