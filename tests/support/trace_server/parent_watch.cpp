#include "parent_watch.hpp"

#include <unistd.h>

#include <chrono>

#include "log.hpp"

namespace nimbra::trace_server {

ParentWatch::ParentWatch(asio::io_context& io, std::function<void()> onParentGone)
    : timer_(io), parent_(::getppid()), onParentGone_(std::move(onParentGone)) {
    arm();
}

void ParentWatch::arm() {
    timer_.expires_after(std::chrono::milliseconds(200));
    timer_.async_wait([this](const std::error_code& error) {
        if (error) return;
        if (::getppid() != parent_) {
            logLine("parent process is gone; stopping");
            onParentGone_();
            return;
        }
        arm();
    });
}

}  // namespace nimbra::trace_server
