#include "controller/connection_unwinder.hpp"

#include "base/log.hpp"
#include "controller/daemon_service.hpp"

namespace nimbra {
namespace {

template <typename Step>
void bestEffort(const char* what, Step&& step) {
    try {
        step();
    } catch (const std::exception& error) {
        logLine("nimbra", std::string(what) + " failed: " + error.what());
    }
}

}  // namespace

void ConnectionUnwinder::unwind(const ConnectionLedger& ledger) const {
    stopProcesses(ledger, DaemonClient::kReplyBudget);
    if (ledger.proxyWritten) {
        bestEffort("restoring the proxy settings", [&] { services_.systemProxy->restore(); });
    }
}

bool ConnectionUnwinder::unwindForQuit(const ConnectionLedger& ledger,
                                       std::chrono::milliseconds budget) const {
    bool restored = true;
    if (ledger.proxyWritten) {
        bestEffort("restoring the proxy settings",
                   [&] { restored = services_.systemProxy->restoreWithin(budget / 2); });
    }
    stopProcesses(ledger, budget / 2);
    return restored;
}

void ConnectionUnwinder::stopProcesses(const ConnectionLedger& ledger,
                                       std::chrono::milliseconds daemonBudget) const {
    // nimbrad first: while its TUN is up it routes the whole machine.
    if (ledger.daemonTun && services_.daemon) {
        const auto& daemon = services_.daemon;
        if (gate_) {
            gate_->closeWith([&] { daemon->stop(daemonBudget); });
        } else {
            daemon->stop(daemonBudget);
        }
    }
    if (ledger.engine) bestEffort("stopping usque", [&] { services_.engine->stop(); });
    if (ledger.relay) bestEffort("stopping the HTTP relay", [&] { services_.relay->stop(); });
    if (ledger.socksGateway) {
        bestEffort("stopping the SOCKS gateway", [&] { services_.socksGateway->stop(); });
    }
}

}  // namespace nimbra
