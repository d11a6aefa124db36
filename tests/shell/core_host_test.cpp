// The desktop client's core thread: quitting stops what runs and waits for the blocking work
// still on the pools before the controller goes.

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
        ++stopping;
        std::this_thread::sleep_for(300ms);
        ++stopped;
    }
    std::atomic<int> stopping = 0, stopped = 0;
};

TEST(CoreHost, QuittingRightAfterDisconnectStopsTheEngineAndLetsEveryStopFinish) {
    nimbra::testing::TempDir dir;
    PreferenceStore store{dir / "preferences.json"};
    auto engine = std::make_shared<SlowStopEngine>();
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
    EXPECT_GE(engine->stopped, 2) << "the disconnect's stop and the quit's own";
    EXPECT_EQ(engine->stopped, engine->stopping) << "no stop was cut short";
}

}  // namespace
}  // namespace nimbra::shell
