#include "engine/tunnel_probes.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "base/unique_fd.hpp"
#include "diagnostics/exit_probe.hpp"

namespace nimbra::tunnel_probes {

bool socksAccepts(int port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) return false;
    const timeval limit{2, 0};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool warpOnThroughSocks(int port) {
    return ExitProbe::fetchViaCurlSocks(port, {.totalSeconds = 8, .connectSeconds = 5}).warpOn();
}

}  // namespace nimbra::tunnel_probes
