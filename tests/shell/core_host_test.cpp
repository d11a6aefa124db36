// The desktop client's core thread: quitting must not let go of the controller while blocking
// work that holds it still runs on the pool.

#include "shell/core_host.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/preference_store.hpp"
#include "controller/warp_controller.hpp"
#include "engine/tunnel_engine.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::shell {
namespace {

using namespace std::chrono_literals;

// An engine whose stop takes a while, as stopping a real usque does.
struct SlowStopEngine final : TunnelEngine {
    int socksPort() const override { return 19999; }
    bool isRunning() const override { return false; }
    std::filesystem::path resolveBinary() const override { return "/nonexistent/usque"; }
    void ensureReady() override {}
    void startSocks(bool) override {}
    void stopProcessOnly() override {}
    void stop() override {
        stopping = true;
        std::this_thread::sleep_for(300ms);
        // The test holds one reference and the lock another; the controller holds the third
        // for as long as it lives.
        controllerLivedThrough = self.lock().use_count() > 2;
        stopped = true;
    }
    std::weak_ptr<SlowStopEngine> self;
    std::atomic<bool> stopping = false, stopped = false, controllerLivedThrough = false;
};

TEST(CoreHost, QuittingRightAfterDisconnectLetsTheTeardownFinishFirst) {
    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    auto engine = std::make_shared<SlowStopEngine>();
    engine->self = engine;
    {
        CoreHost host([&](CoreRuntime& runtime) {
            ControllerEnvironment environment{runtime, store};
            environment.makeEngine = [engine](int) { return engine; };
            return environment;
        });
        host.start();
        host.runtime().post([&host] { host.controller().disconnect(); });
        for (int i = 0; i < 60'000 && !engine->stopping; ++i) std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(engine->stopping);
    }  // the user quits while usque is still being stopped
    EXPECT_TRUE(engine->stopped);
    EXPECT_TRUE(engine->controllerLivedThrough);
}

}  // namespace
}  // namespace nimbra::shell
