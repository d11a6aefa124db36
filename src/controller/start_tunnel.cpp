#include "controller/start_tunnel.hpp"

#include "base/async/cancellation.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"
#include "l10n/localized_error.hpp"

namespace nimbra {
namespace {

// Until the engine can launch usque, a connect ends with this instead of pretending to connect.
class EngineUnavailable : public LocalizedError {
public:
    EngineUnavailable() : LocalizedError("usque engine is not available in this build") {}
    std::string description(AppLanguage language) const override {
        return std::string(pick(language, "usque engine is not available in this build",
                                "此版本尚未包含 usque 引擎"));
    }
};

}  // namespace

asio::awaitable<StartOutcome> startTunnel(WarpController& controller, StartRequest request) {
    co_await throwIfCancelled();
    controller.update([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });
    controller.setDetail(L10n::startingSocks(request.preferHttp2, controller.language()));
    throw EngineUnavailable();
}

}  // namespace nimbra
