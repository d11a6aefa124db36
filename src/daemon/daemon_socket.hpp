#pragma once

#include <string>

namespace nimbra {

// Where nimbrad listens: "/var/run/nimbra.sock" (on Debian /var/run is /run). Tests point the
// client at a fake daemon of their own with NIMBRA_DAEMON_SOCKET.
std::string daemonSocketPath();

}  // namespace nimbra
