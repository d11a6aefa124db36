#include "support/private_network.hpp"

#include <sched.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace nimbra::testing {

std::string inPrivateNetwork(const std::function<void()>& body) {
    std::string failure;
    std::thread thread([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            failure = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
            return;
        }
        body();
    });
    thread.join();
    return failure;
}

}  // namespace nimbra::testing
