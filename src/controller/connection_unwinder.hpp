#pragma once

#include <chrono>
#include <memory>

#include "controller/connection_ledger.hpp"
#include "controller/connection_services.hpp"
#include "controller/daemon_gate.hpp"

namespace nimbra {

// Stops what a ledger says was started, always in the same order: nimbrad's TUN, engine, relay,
// gateway, then the desktop's proxy settings. Every step swallows its own failure, so the whole
// list runs and the caller always reaches its final state. Blocking: run on the lifecycle pool.
// Each step is safe to run twice and concurrently, so a cancel's unwinding may overlap the
// attempt's own.
class ConnectionUnwinder {
public:
    // With the `gate` of an attempt being abandoned, the daemon's "stop" closes it: nothing the
    // attempt still tries to send can reach nimbrad after that "stop".
    explicit ConnectionUnwinder(ConnectionServices services,
                                std::shared_ptr<DaemonGate> gate = nullptr)
        : services_(std::move(services)), gate_(std::move(gate)) {}

    void unwind(const ConnectionLedger& ledger) const;

    // Quitting: the proxy settings go back first (within part of `budget`; they are what the user
    // would notice), then everything stops; nimbrad's reply is awaited for part of `budget` too.
    // The engine's stop is bounded by its own grace time. False when the settings could not be
    // restored in time (the journal keeps them for the next start).
    bool unwindForQuit(const ConnectionLedger& ledger, std::chrono::milliseconds budget) const;

private:
    void stopProcesses(const ConnectionLedger& ledger,
                       std::chrono::milliseconds daemonBudget) const;

    ConnectionServices services_;
    std::shared_ptr<DaemonGate> gate_;
};

}  // namespace nimbra
