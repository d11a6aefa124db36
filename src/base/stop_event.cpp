#include "base/stop_event.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "base/stop_scope.hpp"

namespace nimbra {

StopEvent::StopEvent() : token_(currentStopToken()) {
    if (!token_.stop_possible()) return;
    fd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!fd_.valid()) {
        throw std::system_error(errno, std::generic_category(), "cannot watch for a stop request");
    }
    callback_.emplace(token_, Signal{fd_.get()});
}

void StopEvent::Signal::operator()() const noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

}  // namespace nimbra
