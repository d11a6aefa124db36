#pragma once

namespace nimbra::tunnel_probes {

// Whether something accepts TCP connections on 127.0.0.1:<port> (2 s limit; nothing is sent).
bool socksAccepts(int port);

// Whether the provider's trace, fetched through the SOCKS port, reports an exit address and
// "warp=on". Strict: a trace without an ip= line, or without warp=on, fails. Uses tighter curl
// limits than the exit display (8 s / 5 s) because it stands between the user and a connect.
bool warpOnThroughSocks(int port);

}  // namespace nimbra::tunnel_probes
