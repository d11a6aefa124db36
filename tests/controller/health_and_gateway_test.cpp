// A connection that stays up: the health checks and the self-heal, the exit gateway choice and
// its live switch, and settings changed while connecting, with short injected timings against the
// fake engine, scripted probes and the in-memory desktop settings store.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include "controller/controller_fixture.hpp"
#include "model/preference_keys.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::inOrder;
using testing::probeAt;
using testing::Shown;

class HealthAndGatewayTest : public testing::ControllerFixture {
protected:
    // `duringStart` runs on the core thread while the start's first exit probe waits for it.
    void connectIn(const std::string& mode, std::function<void()> duringStart = {}) {
        store_.setText(prefkey::connectionMode, mode);
        store_.setInteger(prefkey::socksPort, testing::freeLoopbackPort());
        store_.setInteger(prefkey::httpProxyPort, testing::freeLoopbackPort());
        desktop_->setUsersOwn("user's own");
        makeController({}, [this](ControllerEnvironment& environment) {
            environment.timings.healthFirstCheck = 20ms;
            environment.timings.healthInterval = 20ms;
            environment.timings.gatewaySwitchSettle = 5ms;
            recordRegistrations(environment);
        });
        if (duringStart) diagnostics_->onSocksProbe = [this, duringStart] { onCore(duringStart); };
        controller_->connect();
        ASSERT_TRUE(becomes(WarpPhase::connected));
        watch();
    }
    void onCore(const std::function<void()>& work) {
        if (changedDuringStart_.exchange(true)) return;
        std::promise<void> done;
        runtime_.post([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }
    void recordRegistrations(ControllerEnvironment& environment) {
        environment.pointRegistrationAt = [this](const std::string& prefix) {
            std::lock_guard lock(registrationMutex_);
            registrations_.push_back({prefix, engine_->startsSeen().size()});
        };
    }
    ::testing::AssertionResult showsInOrder(const std::vector<std::string>& wanted) {
        return settles([&] { return inOrder(detailsSeen(), wanted); });
    }

    std::atomic<bool> changedDuringStart_{false};
    std::mutex registrationMutex_;
    // Each rewrite of the registration file, with the engine starts made before it.
    std::vector<std::pair<std::string, size_t>> registrations_;
};

TEST_F(HealthAndGatewayTest, AHealWhoseRestartFailsSaysSoAndTriesAgainUntilADisconnect) {
    connectIn("socks");
    engine_->failQuic = true;
    engine_->failHttp2 = true;
    engine_->running = false;  // the engine's child is gone: checks fail without probing
    const int probesBefore = diagnostics_->socksProbes;
    ASSERT_TRUE(showsInOrder(
        {"Tunnel unhealthy — self-healing…", "Heal failed — will retry: usque exited early"}));
    EXPECT_EQ(diagnostics_->socksProbes, probesBefore);
    EXPECT_EQ(controller_->state().phase, WarpPhase::reconnecting);
    // Kept for a desktop whose window is hidden until the tunnel is back.
    EXPECT_EQ(controller_->state().healFailure, controller_->state().detail);

    engine_->failQuic = false;
    engine_->failHttp2 = false;
    ASSERT_TRUE(settles([&] { return controller_->state().phase == WarpPhase::connected; }));
    EXPECT_EQ(controller_->state().healFailure, "");

    // A disconnect during the next heal is never overwritten by it and leaves nothing running.
    engine_->holdStarts = true;  // the heal's restart hangs until a stop arrives
    diagnostics_->socksAnswer = TraceProbe::failed("down");
    ASSERT_TRUE(settles([&] { return controller_->state().phase == WarpPhase::reconnecting; }));
    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    testing::runFor(runtime_, 100ms);
    EXPECT_EQ(Shown(controller_->state().phase, controller_->state().detail),
              Shown(WarpPhase::disconnected, "Disconnected"));
    EXPECT_FALSE(engine_->running);
}

TEST_F(HealthAndGatewayTest, ALiveSwitchRestartsThroughTheNewGatewayAndEndsOnTheProbe) {
    connectIn("socks");
    const size_t startsBefore = engine_->startsSeen().size();
    controller_->setNat64Gateway(NAT64Gateway::usFremont);
    ASSERT_TRUE(showsInOrder({"Switching exit gateway…"}));
    controller_->setNat64Gateway(NAT64Gateway::direct);  // queued behind the first, not interleaved
    ASSERT_TRUE(settles([&] {
        return controller_->state().phase == WarpPhase::connected &&
               engine_->startsSeen().size() == startsBefore + 2;
    }));
    EXPECT_TRUE(std::ranges::any_of(seen_, [](const auto& s) { return s->switchingGateway; }));
    EXPECT_FALSE(controller_->state().switchingGateway);
    {
        std::lock_guard lock(registrationMutex_);
        ASSERT_EQ(registrations_.size(), 2u);
        // Each rewrite lands before its own restart (the second one maybe even before the first).
        EXPECT_EQ(registrations_[0],
                  std::make_pair(std::string("2602:fc59:b0:64::"), startsBefore));
        EXPECT_EQ(registrations_[1].first, "none");
        EXPECT_LE(registrations_[1].second, startsBefore + 1);
    }

    // A switch that comes back unhealthy is not called connected: the heal takes over.
    diagnostics_->socksAnswer = TraceProbe::failed("no route");
    controller_->setNat64Gateway(NAT64Gateway::usFremont);
    ASSERT_TRUE(showsInOrder({"Switching exit gateway…", "Tunnel unhealthy — self-healing…"}));
    EXPECT_EQ(controller_->state().phase, WarpPhase::reconnecting);
}

TEST_F(HealthAndGatewayTest, AGatewayChosenDuringASwitchOutlivesTheDisconnectOrQuitThatEndsIt) {
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quit" : "disconnect");
        connectIn("socks");
        registrations_.clear();
        engine_->holdStarts = true;  // the switch's restart hangs until a stop arrives
        const size_t startsBefore = engine_->startsSeen().size();
        controller_->setNat64Gateway(NAT64Gateway::usFremont);
        ASSERT_TRUE(settles([&] { return engine_->startsSeen().size() > startsBefore; }));
        controller_->setNat64Gateway(NAT64Gateway::direct);  // waits behind the running switch
        if (quit) {
            retireController();
        } else {
            controller_->disconnect();
            ASSERT_TRUE(becomes(WarpPhase::disconnected));
        }
        EXPECT_EQ(store_.text(prefkey::nat64Prefix), "none");
        std::lock_guard lock(registrationMutex_);
        ASSERT_FALSE(registrations_.empty());
        EXPECT_EQ(registrations_.back().first, "none");
    }
}

TEST_F(HealthAndGatewayTest, WhileDisconnectedAGatewayIsOnlyStoredAndANetworkChangeWaitsToCount) {
    makeController({}, [this](ControllerEnvironment& environment) {
        environment.timings.healthFirstCheck = std::chrono::hours(1);
        environment.timings.healthInterval = std::chrono::hours(1);
        recordRegistrations(environment);
    });
    diagnostics_->latencies = {{"none", 40}, {"2602:fc59:b0:64::", -1}};
    controller_->setNat64Gateway(NAT64Gateway::usFremont);
    ASSERT_TRUE(settles([&] {
        std::lock_guard lock(registrationMutex_);
        return !registrations_.empty();
    }));
    EXPECT_EQ(registrations_.front().first, "2602:fc59:b0:64::");
    EXPECT_EQ(store_.text(prefkey::nat64Prefix), "2602:fc59:b0:64::");
    EXPECT_TRUE(engine_->startsSeen().empty());
    // The fastest is the lowest latency that answered.
    controller_->refreshExitProbes();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitLatencyProbing; }));
    controller_->autoSelectFastestGateway();
    EXPECT_EQ(controller_->state().nat64Gateway, NAT64Gateway::direct);

    controller_->networkChanged();  // not connected: nothing to check
    controller_->connect();  // connected: a changed network is checked at once, not at next turn
    ASSERT_TRUE(becomes(WarpPhase::connected));
    const int probesBefore = diagnostics_->socksProbes;
    diagnostics_->socksAnswer = TraceProbe::failed("no route");
    controller_->networkChanged();
    ASSERT_TRUE(settles(
        [&] { return controller_->state().detail == "Exit probe failed — retrying (1/2)"; }));
    EXPECT_EQ(diagnostics_->socksProbes, probesBefore + 1);
}

// A split or gateway chosen while connecting applies once connected, as it would have then; a
// mode or transport waits for the next connect. The snapshot tells the settings from what runs.
TEST_F(HealthAndGatewayTest, SettingsChangedWhileStartingApplyOnceConnectedOrAtTheNextConnect) {
    struct Case {
        ConnectionMode mode;  // the connection's, while the change is made
        std::function<void(WarpController&)> change;
        std::optional<SplitTunnelMode> runningSplit;
        NAT64Gateway runningGateway;
        size_t engineStarts;
        std::string desktop;
    };
    const Case cases[] = {
        {ConnectionMode::globalTun,
         [](auto& c) { c.setSplitTunnelMode(SplitTunnelMode::autoSplit); },
         SplitTunnelMode::autoSplit, NAT64Gateway::direct, 1, "auto"},
        {ConnectionMode::socks, [](auto& c) { c.setNat64Gateway(NAT64Gateway::usFremont); },
         std::nullopt, NAT64Gateway::usFremont, 2, "user's own"},
        {ConnectionMode::socks, [](auto& c) { c.setHttp2(true); }, std::nullopt,
         NAT64Gateway::direct, 1, "user's own"},
        {ConnectionMode::globalTun, [](auto& c) { c.setConnectionMode(ConnectionMode::socks); },
         SplitTunnelMode::full, NAT64Gateway::direct, 1, "manual"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        store_.setText(prefkey::nat64Prefix, "none");
        store_.setText(prefkey::splitTunnelMode, "full");
        store_.setBoolean(prefkey::preferHttp2, false);
        changedDuringStart_ = false;
        connectIn(std::string(rawValue(c.mode)), [&] { c.change(*controller_); });
        const auto runs = [&] {
            const ControllerSnapshot& s = controller_->state();
            return s.phase == WarpPhase::connected && s.runningMode == c.mode &&
                   s.runningHttp2 == false && s.runningSplit == c.runningSplit &&
                   s.runningGateway == c.runningGateway;
        };
        ASSERT_TRUE(settles(runs, "what the connection uses"));
        testing::runFor(runtime_, 50ms);
        EXPECT_TRUE(runs());
        EXPECT_EQ(engine_->startsSeen().size(), c.engineStarts);
        EXPECT_EQ(desktop_->current(), c.desktop);
        EXPECT_EQ(store_.text(prefkey::splitTunnelMode),
                  c.runningSplit == SplitTunnelMode::autoSplit ? "auto" : "full");
        controller_->disconnect();
        ASSERT_TRUE(becomes(WarpPhase::disconnected));
        EXPECT_EQ(controller_->state().runningMode, std::nullopt);
        EXPECT_EQ(desktop_->current(), "user's own");
    }
}

}  // namespace
}  // namespace nimbra
