// Gateway latencies: one measurement of every exit gateway at a time.

#include "controller/warp_controller.hpp"

namespace nimbra {
namespace {

constexpr int kGatewayProbeTimeoutMs = 3500;

}  // namespace

void WarpController::refreshExitProbes() {
    if (quitting_ || state().exitLatencyProbing) return;
    state_.update([](ControllerSnapshot& s) { s.exitLatencyProbing = true; });
    tasks_.spawn(runGatewayProbes());
}

asio::awaitable<void> WarpController::runGatewayProbes() {
    std::map<std::string, int> latencies;
    bool measured = false;
    try {
        latencies = co_await services_.diagnostics->gatewayLatencies(runtime_.blockingPool(),
                                                                     kGatewayProbeTimeoutMs);
        measured = true;
    } catch (const std::exception&) {
        // The flag must come down whatever happened; the last figures stay.
    }
    state_.update([&](ControllerSnapshot& s) {
        if (measured) s.exitProbes = std::move(latencies);
        s.exitLatencyProbing = false;
    });
}

}  // namespace nimbra
