// The controller's facade on a real core loop with a scripted start sequence: its start-up
// state, the phases of connect, disconnect and cancel, the snapshots it publishes, the rule that
// keeps superseded attempts from writing, and the exit and conflict displays.

#include "controller/warp_controller.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "controller/controller_fixture.hpp"
#include "model/preference_keys.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::probeAt;
using testing::runFor;
using testing::Shown;

StartOutcome outcomeAt(std::string loc) {
    StartOutcome outcome;
    outcome.probe = probeAt(loc);
    outcome.started.engine = true;
    return outcome;
}

// Shows the engine starting, then succeeds at US.
asio::awaitable<StartOutcome> quickStart(StartContext& context, StartRequest) {
    context.attempt.show([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });
    co_await sleepFor(10ms);
    co_return outcomeAt("US");
}

class WarpControllerTest : public testing::ControllerFixture {
protected:
    // Runs one exit refresh to its end and returns the status line it leaves.
    std::string refreshedExit() {
        controller_->refreshExit();
        EXPECT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
        return controller_->state().detail;
    }
};

// The settings for this run alone (nimbra-cli's --mode and --http2) are shown and used, never
// stored. Conflicts are scanned after start-up; a connected official client refuses a connect.
TEST_F(WarpControllerTest, StartsReadyWithMigratedSettingsThisRunsChoicesAndAConflictScan) {
    diagnostics_->setReport(
        {.tailscaleDNS = true, .tailscaleRunning = true, .hints = {ConflictHint::tailscaleDNS}});
    store_.setInteger(prefkey::prefsVersion, 6);
    store_.setBoolean(prefkey::preferHttp2, true);  // the migration turns this off
    store_.setText(prefkey::connectionMode, "socks");
    makeController(
        [](StartContext&, StartRequest) -> asio::awaitable<StartOutcome> {
            ADD_FAILURE() << "started despite a connected official client";
            co_return StartOutcome{};
        },
        [](ControllerEnvironment& environment) {
            environment.connectionModeForRun = ConnectionMode::globalTun;
            environment.http2ForRun = true;
        });
    const auto& s = controller_->state();
    EXPECT_EQ(Shown(s.phase, s.detail), Shown(WarpPhase::disconnected, "Ready"));
    EXPECT_EQ(s.socksEndpoint, "127.0.0.1:19999");
    EXPECT_EQ(s.httpEndpoint, "127.0.0.1:19998");
    EXPECT_EQ(engine_->socksPort(), 19999);
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);
    EXPECT_EQ(store_.boolean(prefkey::preferHttp2), false);
    EXPECT_EQ(store_.text(prefkey::connectionMode), "socks");
    EXPECT_TRUE(s.http2);
    EXPECT_EQ(s.connectionMode, ConnectionMode::globalTun);
    EXPECT_EQ(s.conflictBanner, "") << "start-up does not wait for the scan";
    // The usque look-up answers later, from the pool.
    EXPECT_EQ(s.usquePath, "…");
    ASSERT_TRUE(settles([&] { return controller_->state().usquePath != "…"; }));
    EXPECT_THAT(controller_->state().usquePath, ::testing::StartsWith("(not found"));
    EXPECT_FALSE(controller_->state().usqueFound);

    ASSERT_TRUE(settles([&] { return !controller_->state().conflictBanner.empty(); }));
    EXPECT_EQ(controller_->state().conflictBanner,
              "Tailscale DNS · TUN excludes 100.64/10 (ClashX-style; WARP usually fights TS)");
    EXPECT_FALSE(controller_->state().conflictBlocking);
    diagnostics_->setReport({.officialWarpConnected = true,
                             .officialWarpInstalled = true,
                             .hints = {ConflictHint::disconnectOfficialWarp}});
    // The refusal's own texts are the e2e run's (tests/e2e/connect_e2e_test.cpp).
    controller_->connect();
    ASSERT_TRUE(ends());
    const auto& refused = controller_->state();
    EXPECT_EQ(refused.phase, WarpPhase::disconnected);
    EXPECT_FALSE(refused.ready) << "an attempt, even a refused one, ends the start-up rest";
    EXPECT_TRUE(refused.conflictBlocking);
    EXPECT_EQ(refused.conflictBanner, "Disconnect official WARP first");
    EXPECT_EQ(refused.http2Tip, "");
}

TEST_F(WarpControllerTest, ToggleConnectsAndDisconnectsOnTheGuiThreadAndAConnectWaitsForATeardown) {
    makeController(&quickStart);
    asio::io_context gui;
    auto keepAlive = asio::make_work_guard(gui);
    std::thread guiThread([&] { gui.run(); });
    const auto guiId = guiThread.get_id();
    const auto subscription =
        watch([&](std::function<void()> f) { asio::post(gui, std::move(f)); });
    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    EXPECT_EQ(controller_->state().exitIp, "104.28.0.1");
    EXPECT_TRUE(controller_->state().exitViaTunnel);
    engine_->running = true;
    controller_->toggle();
    controller_->toggle();  // while stopping: nothing
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    keepAlive.reset();
    guiThread.join();
    controller_->unsubscribe(subscription);  // the poster refers to this test's own loop

    EXPECT_EQ(seenOn_, std::set{guiId});
    for (size_t i = 1; i < seen_.size(); ++i) {
        EXPECT_NE(*seen_[i], *seen_[i - 1]) << "no change in snapshot " << i;
    }
    EXPECT_EQ(phasesSeen(),
              (std::vector<Shown>{{WarpPhase::disconnected, "Ready"},
                                  {WarpPhase::preparing, "Checking usque…"},
                                  {WarpPhase::startingEngine, "Checking usque…"},
                                  {WarpPhase::connected, "Connected · US/SJC · WARP on"},
                                  {WarpPhase::stopping, "Disconnecting…"},
                                  {WarpPhase::disconnected, "Disconnected"}}));
    EXPECT_FALSE(engine_->running);
    EXPECT_EQ(controller_->state().exitLoc, "US") << "the last exit stays on show";
    EXPECT_TRUE(controller_->state().exitViaTunnel) << "measured through our tunnel, not another";
    EXPECT_EQ(desktop_->restores, 0) << "nothing was written, so nothing is restored";

    // A connect during a teardown waits for it instead of being overwritten.
    seen_.clear();
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    watch();
    controller_->disconnect();
    controller_->connect();  // while the teardown still stops the engine
    ASSERT_TRUE(settles(
        [&] { return controller_->state().phase == WarpPhase::connected && seen_.size() > 3; }));
    runFor(runtime_, 20ms);
    EXPECT_EQ(phasesSeen(),
              (std::vector<Shown>{{WarpPhase::connected, "Connected · US/SJC · WARP on"},
                                  {WarpPhase::stopping, "Disconnecting…"},
                                  {WarpPhase::disconnected, "Disconnected"},
                                  {WarpPhase::preparing, "Checking usque…"},
                                  {WarpPhase::startingEngine, "Checking usque…"},
                                  {WarpPhase::connected, "Connected · US/SJC · WARP on"}}));
}

// Each read of the tunnel's counters finds 1000 bytes more down and 100 more up.
struct SteadyTransfer final : ByteCounterSource {
    ByteCounts sample(const std::optional<std::string>&) override {
        return {rx += 1000, tx += 100};
    }
    std::atomic<std::int64_t> rx = 0, tx = 0;  // tx / 100: the reads so far
};

// Connected with no view showing the figures, the monitor takes its base and then nothing wakes;
// a view's interest (counted) makes it tick and publish, and the bytes that passed unwatched
// count in the totals but not as one tick's speed.
TEST_F(WarpControllerTest, TrafficFiguresTickAndArePublishedOnlyWhileAViewShowsThem) {
    SteadyTransfer* counters = nullptr;
    makeController(&quickStart, [&](ControllerEnvironment& environment) {
        environment.timings.trafficSample = 10ms;
        environment.makeByteCounters = [&](int) {
            auto source = std::make_unique<SteadyTransfer>();
            counters = source.get();
            return source;
        };
    });
    watch();
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    const auto expectQuiet = [&](const char* when) {
        ASSERT_TRUE(settles([&] { return !controller_->trafficMonitor().sampling(); }, when));
        runFor(runtime_, 20ms);  // what the last read published is delivered
        const std::int64_t reads = counters->tx;
        const TrafficSnapshot shown = seen_.back()->traffic;
        runFor(runtime_, 200ms);  // twenty ticks' worth
        EXPECT_EQ(counters->tx, reads) << when;
        EXPECT_EQ(seen_.back()->traffic, shown) << when;
    };
    expectQuiet("before any view");
    EXPECT_EQ(counters->tx, 100) << "the base alone";

    counters->rx += 50'000;  // passed while nobody watched
    controller_->watchTraffic(true);
    controller_->watchTraffic(true);   // a second view
    controller_->watchTraffic(false);  // leaves; the first still shows them
    ASSERT_TRUE(settles([&] { return seen_.back()->traffic.totalTxBytes >= 500; }, "ticks"));
    const TrafficSnapshot& shown = seen_.back()->traffic;
    EXPECT_EQ(std::tuple(shown.downSpeed, shown.upSpeed, shown.totalRxBytes),
              std::tuple(1'000.0, 100.0, 50'000 + 10 * shown.totalTxBytes));
    for (const SpeedSample& sample : shown.speedHistory) EXPECT_LE(sample.downBytesPerSec, 1'000);

    controller_->watchTraffic(false);
    expectQuiet("after the last view left");
}

// The conflict scan can take seconds, so a press shows the attempt before it; a second connect
// meanwhile is ignored, while the button (now Cancel) cancels; a quit ends a start under way.
TEST_F(WarpControllerTest, AnAttemptShowsItselfBeforeTheScanItsButtonCancelsAndAQuitEndsIt) {
    bool startBegan = false, startEnded = false;  // it sleeps for an hour unless cancelled
    makeController([&](StartContext&, StartRequest) -> asio::awaitable<StartOutcome> {
        startBegan = true;
        const std::shared_ptr<void> onEnd(nullptr, [&](void*) { startEnded = true; });
        co_await sleepFor(1h);
        co_return StartOutcome{};
    });
    std::promise<void> release;
    diagnostics_->onScan = [scanEnds = release.get_future().share()] { scanEnds.wait(); };
    watch();
    controller_->connect();
    EXPECT_EQ(Shown(controller_->state().phase, controller_->state().detail),
              Shown(WarpPhase::preparing, "Checking usque…"));
    EXPECT_TRUE(controller_->state().connecting);
    controller_->connect();
    runFor(runtime_, 20ms);
    EXPECT_EQ(phasesSeen().back(), Shown(WarpPhase::preparing, "Checking usque…"));
    release.set_value();
    controller_->toggle();  // the scan's answer has not been taken yet: a cancel
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    EXPECT_EQ(controller_->state().detail, "Cancelled");
    EXPECT_FALSE(controller_->state().connecting);
    EXPECT_FALSE(startBegan);

    // A quit ends the start under way, stops what it started and ignores connects from then on.
    controller_->toggle();
    ASSERT_TRUE(settles([&] { return startBegan; }));
    bool quitDone = false;
    controller_->quit([&] { quitDone = true; });
    controller_->connect();
    ASSERT_TRUE(settles([&] { return quitDone; }));
    EXPECT_TRUE(startEnded);
    EXPECT_GE(engine_->stops, 2) << "also ends a usque another run left on the port";
    EXPECT_NE(controller_->state().phase, WarpPhase::connected);
    EXPECT_EQ(desktop_->current(), "none");
}

TEST_F(WarpControllerTest, ToggleInErrorDisconnectsARunningEngineElseConnectsAgain) {
    int attempts = 0;
    makeController([&](StartContext&, StartRequest) -> asio::awaitable<StartOutcome> {
        ++attempts;
        co_await sleepFor(5ms);
        throw std::runtime_error("usque exited early");
    });
    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::error));
    EXPECT_EQ(controller_->state().lastConnectError, "usque exited early");
    EXPECT_EQ(controller_->state().http2Tip, "") << "nothing here suggests HTTP/2";
    controller_->toggle();  // error with nothing running: a fresh attempt
    EXPECT_EQ(controller_->state().lastConnectError, "");
    ASSERT_TRUE(settles([&] { return attempts == 2; }));
    ASSERT_TRUE(becomes(WarpPhase::error));

    engine_->running = true;  // e.g. a listener that survived the failure
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    EXPECT_EQ(attempts, 2);
}

TEST_F(WarpControllerTest, ATimeOutWaitsForTheBlockingStartThenReportsAndSuggestsHttp2) {
    std::atomic<bool> blockingReturned{false};
    makeController(
        [&](StartContext& context, StartRequest) -> asio::awaitable<StartOutcome> {
            co_await awaitBlocking(context.lifecycle, [&] {
                std::this_thread::sleep_for(200ms);
                blockingReturned = true;
            });
            co_return StartOutcome{};
        },
        [](ControllerEnvironment& environment) { environment.timings.connectRace = 40ms; });
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::error));
    EXPECT_TRUE(blockingReturned) << "the error shows only once the start has returned";
    EXPECT_EQ(controller_->state().detail,
              "Connect timed out (1s). Disconnect official WARP / check Tailscale DNS, or use "
              "Local SOCKS + HTTP/2.");
    EXPECT_EQ(controller_->state().http2Tip,
              "Connect failed: enable HTTP/2 TCP fallback and retry, or use Local SOCKS.");
    EXPECT_GE(engine_->stops, 1);
    store_.setText(prefkey::uiLanguage, "zh");  // the tip follows the language
    controller_->relocalizeVisibleCopy();
    EXPECT_EQ(controller_->state().http2Tip,
              "连接失败：建议打开 HTTP/2 TCP fallback 后重试；或改用仅本地 SOCKS。");
}

TEST_F(WarpControllerTest, ASupersededAttemptCannotWriteItsLateResult) {
    // The first attempt's start runs on, uninterruptible, past its cancellation; the second
    // attempt starts after the cancel and finishes later. Only the second may show.
    int attempts = 0;
    makeController([&](StartContext& context, StartRequest) -> asio::awaitable<StartOutcome> {
        const bool first = ++attempts == 1;
        context.attempt.showDetail(first ? "first attempt" : "second attempt");
        co_await awaitTeardown(context.lifecycle,
                               [first] { std::this_thread::sleep_for(first ? 150ms : 300ms); });
        context.attempt.showDetail(first ? "first attempt, late" : "second attempt, done");
        StartOutcome outcome = outcomeAt(first ? "OLD" : "NEW");
        outcome.started.proxyWritten = true;
        outcome.autoEnabledHttp2 = first;
        co_return outcome;
    });
    watch();
    controller_->connect();
    ASSERT_TRUE(settles([&] { return controller_->state().detail == "first attempt"; }));
    controller_->cancelConnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    runFor(runtime_, 10ms);
    EXPECT_EQ(controller_->state().exitLoc, "NEW");
    for (const auto& s : seen_) {
        EXPECT_NE(s->exitLoc, "OLD");
        EXPECT_NE(s->detail, "first attempt, late");
    }
    EXPECT_FALSE(controller_->state().http2) << "the stale outcome's HTTP/2 switch was dropped";
}

TEST_F(WarpControllerTest, ExitAndGatewayProbesRunOneAtATimeOnTheRouteOfTheMoment) {
    diagnostics_->directAnswer = TraceProbe{};  // failed without a reason
    makeController(&quickStart);
    EXPECT_EQ(refreshedExit(), "Exit probe failed: network error");

    diagnostics_->directAnswer = probeAt("DE");
    controller_->refreshExit();
    EXPECT_TRUE(controller_->state().exitProbing);
    EXPECT_EQ(refreshedExit(), "System exit · DE/SJC · WARP on") << "the second press is ignored";
    EXPECT_EQ(diagnostics_->directProbes, 2);
    EXPECT_FALSE(controller_->state().exitViaTunnel);

    // Connected with the engine up: through the SOCKS port, counted as via the tunnel.
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    engine_->running = true;
    diagnostics_->socksAnswer = probeAt("US", "off");
    EXPECT_EQ(refreshedExit(), "Tunnel anomaly (possible leak) · loc=US colo=SJC warp=off");
    EXPECT_EQ(diagnostics_->socksProbes, 1);
    EXPECT_TRUE(controller_->state().exitViaTunnel);

    diagnostics_->socksAnswer = TraceProbe::failed("curl socks5h probe failed (7)");
    EXPECT_EQ(refreshedExit(), "Connected but exit probe failed — tunnel may be unhealthy");
    EXPECT_EQ(controller_->state().exitLoc, "US") << "a failed probe leaves the display";

    diagnostics_->latencies = {{"none", 40}, {"2602:fc59:b0:64::", -1}};
    controller_->refreshExitProbes();
    controller_->refreshExitProbes();  // ignored: one is running
    EXPECT_TRUE(controller_->state().exitLatencyProbing);
    ASSERT_TRUE(settles([&] { return !controller_->state().exitLatencyProbing; }));
    EXPECT_EQ(diagnostics_->latencyRuns, 1);
    EXPECT_EQ(controller_->state().exitProbes, diagnostics_->latencies);
}

TEST_F(WarpControllerTest, AnExitRefreshAnsweringDuringANewConnectIsDropped) {
    diagnostics_->directAnswer = probeAt("JP");
    std::atomic<bool> release{false};
    const std::shared_ptr<void> releaseOnExit(nullptr, [&](void*) { release = true; });
    makeController([&](StartContext& context, StartRequest) -> asio::awaitable<StartOutcome> {
        // Held until the refresh has answered.
        co_await awaitBlocking(context.lifecycle, [&] {
            while (!release) std::this_thread::sleep_for(1ms);
        });
        co_return outcomeAt("US");
    });
    controller_->refreshExit();
    controller_->connect();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(diagnostics_->directProbes, 1);
    EXPECT_NE(controller_->state().exitLoc, "JP");
    release = true;
    ASSERT_TRUE(becomes(WarpPhase::connected));
    EXPECT_EQ(controller_->state().exitLoc, "US");
}

}  // namespace
}  // namespace nimbra
