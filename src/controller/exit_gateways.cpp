// Gateway latencies: one measurement of every exit gateway at a time.

#include "controller/warp_controller.hpp"

namespace nimbra {
namespace {

constexpr int kGatewayProbeTimeoutMs = 3500;

}  // namespace

void WarpController::refreshExitProbes() {
    if (state_.exitLatencyProbing) return;
    update([](ControllerSnapshot& s) { s.exitLatencyProbing = true; });
    spawnTask(runtime_.executor(), runGatewayProbes());
}

asio::awaitable<void> WarpController::runGatewayProbes() {
    auto latencies =
        co_await diagnostics_->gatewayLatencies(runtime_.blockingPool(), kGatewayProbeTimeoutMs);
    update([&](ControllerSnapshot& s) {
        s.exitProbes = std::move(latencies);
        s.exitLatencyProbing = false;
    });
}

}  // namespace nimbra
