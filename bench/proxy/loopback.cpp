#include "loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <thread>

namespace nimbra::bench {
namespace {

constexpr int kFirstProxyPort = 20000;
constexpr int kProxyPorts = 10000;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// Without SO_REUSEADDR, bind also refuses a port that a connection in TIME_WAIT still holds.
bool bindable(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

}  // namespace

int freeLoopbackPort() {
    // Below the kernel's ephemeral range (32768 up by default), where no outgoing connection
    // takes a port and TIME_WAIT leftovers of the loads cannot exhaust the choice.
    static int next = kFirstProxyPort;
    for (int tried = 0; tried < kProxyPorts; ++tried) {
        const int port = next;
        next = next + 1 < kFirstProxyPort + kProxyPorts ? next + 1 : kFirstProxyPort;
        if (bindable(port)) return port;
    }
    throw std::runtime_error("no free port on 127.0.0.1");
}

bool waitForListener(int port, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!accepts(port)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void raiseOpenFileLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace nimbra::bench
