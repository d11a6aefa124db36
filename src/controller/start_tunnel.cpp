#include "controller/mode_starter.hpp"
#include "l10n/l10n.hpp"
#include "l10n/localized_error.hpp"

namespace nimbra {
namespace {

// Whole-machine routing needs the privileged daemon, which this build cannot drive yet; the
// attempt says so instead of pretending to connect.
class RealTunUnavailable : public LocalizedError {
public:
    RealTunUnavailable() : LocalizedError("Real TUN mode needs nimbrad, which this build lacks") {}
    std::string description(AppLanguage language) const override {
        return std::string(
            pick(language,
                 "Real TUN mode needs nimbrad, which this build lacks; "
                 "use Local SOCKS or System proxy",
                 "真实 TUN 模式需要 nimbrad，此版本尚未包含；请改用仅本地 SOCKS 或系统代理"));
    }
};

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
    throw RealTunUnavailable();
}

}  // namespace nimbra
