#pragma once

#include <string>

namespace nimbra {

// The installed daemon's socket; the root helper, which reads no environment, uses it as is.
inline constexpr const char* kDaemonSocket = "/var/run/nimbra.sock";

// Where nimbrad listens: "/var/run/nimbra.sock" (on Debian /var/run is /run). Tests point the
// client at a fake daemon of their own with NIMBRA_DAEMON_SOCKET.
std::string daemonSocketPath();

}  // namespace nimbra
