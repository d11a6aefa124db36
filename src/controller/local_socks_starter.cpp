#include "controller/mode_starter.hpp"

namespace nimbra {

asio::awaitable<StartOutcome> LocalSocksStarter::finish(StartContext&, const StartRequest& request,
                                                        TraceProbe probe,
                                                        ConnectionLedger& started) const {
    co_return StartOutcome{
        .probe = std::move(probe),
        .coverageNote = {},
        .started = started,
        .autoEnabledHttp2 = request.preferHttp2 && !request.userRequestedHttp2,
    };
}

}  // namespace nimbra
