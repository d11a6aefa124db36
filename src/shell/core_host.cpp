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
    runtime_.stop();
    runtime_.join();
    // A teardown that Disconnect started may still be stopping usque on the pool, with the
    // controller in hand: it finishes before the controller goes.
    runtime_.drainBlockingPool();
}

}  // namespace nimbra::shell
