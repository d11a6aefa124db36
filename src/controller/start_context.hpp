#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <functional>

#include "controller/connect_attempt.hpp"
#include "controller/connection_services.hpp"
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
};

// The start sequence of one connect attempt. The product's own is startTunnel; tests script one.
// It must stop whatever it started before it throws, including when it is cancelled.
using StartSequence = std::function<asio::awaitable<StartOutcome>(StartContext&, StartRequest)>;

// The product's start sequence: the starter of the request's mode.
asio::awaitable<StartOutcome> startTunnel(StartContext& context, StartRequest request);

}  // namespace nimbra
