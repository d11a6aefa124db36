// Texts the controller keeps current outside the connect flows: where usque was found.

#include "base/async/await_blocking.hpp"
#include "controller/warp_controller.hpp"

namespace nimbra {
namespace {

#ifdef __APPLE__
constexpr const char* kUsqueNotFound = "(not found — run Scripts/fetch-usque-macos.sh)";
#else
constexpr const char* kUsqueNotFound = "(not found — run scripts/fetch-usque)";
#endif

}  // namespace

// Looking for usque runs `which` and touches the disk, so it happens on the pool; the answer is
// applied on the core thread when it arrives.
void WarpController::refreshUsquePath() {
    spawnTask(runtime_.executor(), resolveUsquePath());
}

asio::awaitable<void> WarpController::resolveUsquePath() {
    auto resolve = [engine = engine_] {
        try {
            return engine->resolveBinary().string();
        } catch (const std::exception&) {
            return std::string(kUsqueNotFound);
        }
    };
    std::string path = co_await awaitBlocking(runtime_.blockingPool(), resolve);
    update([&](ControllerSnapshot& s) { s.usquePath = std::move(path); });
}

}  // namespace nimbra
