#pragma once

#include <cstdint>
#include <string>

#include "controller/connection_ledger.hpp"
#include "diagnostics/trace_probe.hpp"
#include "model/connection_mode.hpp"
#include "model/nat64_gateway.hpp"
#include "model/split_tunnel_mode.hpp"

namespace nimbra {

// What one connect attempt works with, captured when the user pressed Connect so that later
// setting changes do not leak into a running attempt.
struct StartRequest {
    ConnectionMode mode = ConnectionMode::socks;
    bool preferHttp2 = false;         // transport of this attempt
    bool userRequestedHttp2 = false;  // the user's choice at connect time
    SplitTunnelMode splitMode = SplitTunnelMode::full;
    // The exit gateway the files named when the attempt began, and the number of that choice
    // (GatewayFiles): a gateway chosen while the attempt runs is switched to once it connected.
    NAT64Gateway gateway = NAT64Gateway::direct;
    uint64_t gatewayChoice = 0;
    int socksPort = 0;
    int httpPort = 0;
    bool allowHttp2Retry = true;
};

// What a successful start sequence hands back to the controller.
struct StartOutcome {
    TraceProbe probe;
    std::string coverageNote;
    // What the connection started, for its teardown.
    ConnectionLedger started;
    // The attempt went over to HTTP/2 although the user had chosen QUIC.
    bool autoEnabledHttp2 = false;
};

}  // namespace nimbra
