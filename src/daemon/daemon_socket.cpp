#include "daemon/daemon_socket.hpp"

#include <cstdlib>

namespace nimbra {

std::string daemonSocketPath() {
    const char* overridden = std::getenv("NIMBRA_DAEMON_SOCKET");
    return overridden != nullptr && *overridden != '\0' ? overridden : kDaemonSocket;
}

}  // namespace nimbra
