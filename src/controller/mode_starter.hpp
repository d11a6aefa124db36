#pragma once

#include <asio/awaitable.hpp>

#include "controller/connection_ledger.hpp"
#include "controller/start_context.hpp"
#include "diagnostics/trace_probe.hpp"

namespace nimbra {

// How one connection mode finishes a connection once usque carries traffic through WARP.
class ModeStarter {
public:
    virtual ~ModeStarter() = default;

    // Brings up what the mode adds on top of the engine, recording each piece in `started` as
    // soon as it is up, so that a failure or a cancellation stops exactly that.
    virtual asio::awaitable<StartOutcome> finish(StartContext& context, const StartRequest& request,
                                                 TraceProbe probe,
                                                 ConnectionLedger& started) const = 0;
};

// Local SOCKS: the engine's listener is the whole connection.
class LocalSocksStarter : public ModeStarter {
public:
    asio::awaitable<StartOutcome> finish(StartContext& context, const StartRequest& request,
                                         TraceProbe probe,
                                         ConnectionLedger& started) const override;
};

// System proxy: the HTTP relay with its PAC script, and the desktop's proxy settings on it.
class SystemProxyStarter : public ModeStarter {
public:
    asio::awaitable<StartOutcome> finish(StartContext& context, const StartRequest& request,
                                         TraceProbe probe,
                                         ConnectionLedger& started) const override;
};

// The step every usque-carried mode shares: start the engine on the request's transport, check
// the exit through it, hand over to `mode`; on QUIC trouble, try again on HTTP/2 (at most two
// more attempts, none when the user chose HTTP/2). Whatever fails is stopped before it throws.
asio::awaitable<StartOutcome> startWithHttp2Retry(StartContext& context, StartRequest request,
                                                  const ModeStarter& mode);

}  // namespace nimbra
