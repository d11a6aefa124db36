// Watching a live connection. The periodic checks and self-healing build on these controls.

#include "controller/warp_controller.hpp"

namespace nimbra {

void WarpController::stopHealthMonitor() {
    if (healthPollTask_) healthPollTask_->cancel();
    healthPollTask_.reset();
    healing_ = false;
    consecutiveHealthFails_ = 0;
    ++healGeneration_;  // a heal in flight sees the new generation and abandons itself
}

}  // namespace nimbra
