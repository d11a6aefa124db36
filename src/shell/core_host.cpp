#include "shell/core_host.hpp"

#include "controller/warp_controller.hpp"

namespace nimbra::shell {

CoreHost::CoreHost(PreferenceStore& store)
    : CoreHost([&store](CoreRuntime& runtime) {
          return ControllerEnvironment{runtime, store};
      }) {}

CoreHost::CoreHost(std::function<ControllerEnvironment(CoreRuntime&)> makeEnvironment)
    : controller_(std::make_unique<WarpController>(makeEnvironment(runtime_))) {}

CoreHost::~CoreHost() {
    shutdown();
    controller_.reset();
}

void CoreHost::start() {
    if (started_ || stopped_) return;
    started_ = true;
    runtime_.startThread();
}

void CoreHost::shutdown() {
    if (stopped_) return;
    stopped_ = true;
    if (started_) {
        // The controller stops what this run started and puts the proxy settings back within its
        // quit time, then the loop ends.
        runtime_.post([this] { controller_->quit([this] { runtime_.stop(); }); });
    } else {
        runtime_.stop();
    }
    runtime_.join();
    // Blocking calls still running (a probe, a late clean-up step) hold what they touch by
    // shared pointer, but they finish before the controller goes all the same.
    runtime_.drainBlockingPool();
}

}  // namespace nimbra::shell
