#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <functional>
#include <memory>

#include "controller/connect_attempt.hpp"
#include "controller/connection_services.hpp"
#include "controller/daemon_gate.hpp"
#include "controller/start_outcome.hpp"
#include "model/timings.hpp"

namespace nimbra {

// What a start sequence may use: its attempt (to show progress), the pieces of the connection,
// the lifecycle pool for blocking steps, and the timings. Nothing else of the controller.
struct StartContext {
    ConnectAttempt& attempt;
    ConnectionServices services;
    asio::thread_pool& lifecycle;
    Timings timings;
    // The attempt's daemon commands go through it, so a cancel has the last word with nimbrad.
    std::shared_ptr<DaemonGate> daemonGate = std::make_shared<DaemonGate>();
    // Stores the HTTP/2 choice as the user's own (a real TUN start that failed on QUIC switches
    // for good before its retry). Core thread; nothing when the attempt is stale.
    std::function<void(bool http2)> storeHttp2;
};

// The start sequence of one connect attempt. The product's own is startTunnel; tests script one.
// It must stop whatever it started before it throws, including when it is cancelled.
using StartSequence = std::function<asio::awaitable<StartOutcome>(StartContext&, StartRequest)>;

// The product's start sequence: the starter of the request's mode.
asio::awaitable<StartOutcome> startTunnel(StartContext& context, StartRequest request);

}  // namespace nimbra
