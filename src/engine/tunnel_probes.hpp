#pragma once

#include <string>

namespace nimbra::tunnel_probes {

// Whether something accepts TCP connections on 127.0.0.1:<port> (2 s limit; nothing is sent).
bool socksAccepts(int port);

// Whether the provider's trace, fetched through the SOCKS port with curl, reports an exit
// address and "warp=on". Strict: a trace without an ip= line fails.
bool warpOnThroughSocks(int port);

// The verdict on a trace body (exposed for tests).
bool traceShowsWarpOn(const std::string& body);

}  // namespace nimbra::tunnel_probes
