#include "controller/connection_unwinder.hpp"

#include "base/log.hpp"

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
    stopProcesses(ledger);
    if (ledger.proxyWritten) {
        bestEffort("restoring the proxy settings",
                   [&] { services_.systemProxy->restoreOrDisable(/*socksOnly=*/false); });
    }
}

bool ConnectionUnwinder::unwindForQuit(const ConnectionLedger& ledger,
                                       std::chrono::milliseconds budget) const {
    bool restored = true;
    if (ledger.proxyWritten) {
        bestEffort("restoring the proxy settings",
                   [&] { restored = services_.systemProxy->restoreWithin(budget / 2); });
    }
    stopProcesses(ledger);
    return restored;
}

void ConnectionUnwinder::stopProcesses(const ConnectionLedger& ledger) const {
    if (ledger.engine) bestEffort("stopping usque", [&] { services_.engine->stop(); });
    if (ledger.relay) bestEffort("stopping the HTTP relay", [&] { services_.relay->stop(); });
    if (ledger.socksGateway) {
        bestEffort("stopping the SOCKS gateway", [&] { services_.socksGateway->stop(); });
    }
}

}  // namespace nimbra
