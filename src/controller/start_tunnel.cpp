#include "controller/mode_starter.hpp"
#include "controller/real_tun_starter.hpp"

namespace nimbra {
namespace {

// Stateless, so shared by every attempt; named objects, never temporaries inside a co_await.
const LocalSocksStarter kLocalSocks;
const SystemProxyStarter kSystemProxy;

}  // namespace

asio::awaitable<StartOutcome> startTunnel(StartContext& context, StartRequest request) {
    switch (request.mode) {
        case ConnectionMode::socks:
            co_return co_await startWithHttp2Retry(context, request, kLocalSocks);
        case ConnectionMode::globalTun:
            co_return co_await startWithHttp2Retry(context, request, kSystemProxy);
        case ConnectionMode::realTun:
            break;
    }
    // nimbrad carries this mode; the engine only has its configuration checked.
    co_return co_await startRealTun(context, request);
}

}  // namespace nimbra
