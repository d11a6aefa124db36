// Texts the controller keeps current outside the connect flows: where usque was found.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"
#include "system/platform_profile.hpp"

namespace nimbra {

// Looking for usque runs `which` and touches the disk, so it happens on the pool; the answer is
// applied on the core thread when it arrives.
void WarpController::refreshUsquePath() {
    if (quitting_) return;
    tasks_.spawn(resolveUsquePath());
}

asio::awaitable<void> WarpController::resolveUsquePath() {
    auto resolve = [engine = services_.engine]() -> std::optional<std::string> {
        try {
            return engine->resolveBinary().string();
        } catch (const std::exception&) {
            return std::nullopt;
        }
    };
    const std::optional<std::string> path =
        co_await awaitBlocking(runtime_.blockingPool(), resolve);
    const std::string missing =
        L10n::usqueNotFound(PlatformProfile::current().usqueFetchScript, language());
    state_.update([&](ControllerSnapshot& s) {
        s.usqueFound = path.has_value();
        s.usquePath = path.value_or(missing);
    });
}

}  // namespace nimbra
