#pragma once

#include <asio/awaitable.hpp>

#include "controller/start_context.hpp"

namespace nimbra {

// Real TUN: nimbrad routes the whole machine through a usque of its own. The attempt checks the
// engine's configuration, installs the daemon on first use (one administrator prompt), hands it
// the preferences and the DNS choice, starts its tunnel and waits until it is ready, checks that
// a plain request leaves through WARP, and takes over the SOCKS port with the compatibility
// gateway so applications set up for it keep working. A daemon that fails to come up on QUIC is
// stopped and tried once more on HTTP/2 (which is then stored as the user's choice); a probe
// that does not leave through WARP is final. Whatever fails is stopped before it throws.
asio::awaitable<StartOutcome> startRealTun(StartContext& context, StartRequest request);

}  // namespace nimbra
