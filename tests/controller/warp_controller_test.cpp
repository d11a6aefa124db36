// The controller on a real core loop with a scripted start sequence, a fake engine and scripted
// diagnostics: its start-up state, the phases of connect, disconnect and cancel, the snapshots
// it publishes, the generation rule that keeps superseded attempts from writing, and the exit
// and conflict displays.

#include "controller/warp_controller.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "diagnostics/trace_parser.hpp"
#include "model/preference_keys.hpp"
#include "support/run_until.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::runFor;
using testing::runUntil;
using Shown = std::pair<WarpPhase, std::string>;

class FakeEngine : public TunnelEngine {
public:
    explicit FakeEngine(int port) : port_(port) {}
    int socksPort() const override { return port_; }
    bool isRunning() const override { return running; }
    std::filesystem::path resolveBinary() const override { throw std::runtime_error("none"); }
    void ensureReady() override {}
    void startSocks(bool) override { running = true; }
    void stopProcessOnly() override { running = false; }
    void stop() override {
        ++stops;
        running = false;
    }

    std::atomic<bool> running{false};
    std::atomic<int> stops{0};

private:
    int port_;
};

// Scripted answers for the exit probes, gateway latencies and conflict scan; counts the calls.
// The tests change an answer only while nothing is asking for it.
class FakeDiagnostics : public DiagnosticsService {
public:
    TraceProbe exitViaSocks(int) override { return counted(socksProbes, socksAnswer); }
    TraceProbe exitDirect() override { return counted(directProbes, directAnswer); }
    ConflictReport scanConflicts() override { return report; }
    asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool&, int) override {
        ++latencyRuns;
        co_await sleepFor(30ms);
        co_return latencies;
    }

    TraceProbe socksAnswer, directAnswer;
    ConflictReport report;
    std::map<std::string, int> latencies;
    std::atomic<int> socksProbes{0}, directProbes{0}, latencyRuns{0};

private:
    static TraceProbe counted(std::atomic<int>& calls, const TraceProbe& probe) {
        ++calls;
        return probe;
    }
};

TraceProbe probeAt(const std::string& loc, const std::string& warp = "on") {
    return parseTrace("ip=104.28.0.1\nloc=" + loc + "\ncolo=SJC\nwarp=" + warp + "\n");
}

StartOutcome outcomeAt(std::string loc) {
    StartOutcome outcome;
    outcome.probe = probeAt(loc);
    return outcome;
}

class WarpControllerTest : public ::testing::Test {
protected:
    // Builds the controller; `start` scripts each connect attempt's start sequence, by default
    // one that shows the engine starting and then succeeds at US.
    void makeController(StartSequence start = {}, std::chrono::milliseconds connectRace = 10s) {
        ControllerEnvironment environment(runtime_, store_);
        environment.timings.connectRace = connectRace;
        environment.makeEngine = [this](int port) {
            return engine_ = std::make_shared<FakeEngine>(port);
        };
        if (!start)
            start = [](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
                c.update([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });
                co_await sleepFor(10ms);
                co_return outcomeAt("US");
            };
        environment.startSequence = std::move(start);
        environment.diagnostics = diagnostics_;
        controller_ = std::make_unique<WarpController>(std::move(environment));
    }

    bool becomes(WarpPhase phase) {
        return settles([&] { return controller_->state().phase == phase; });
    }
    bool settles(const std::function<bool()>& done) { return runUntil(runtime_, done, 60s); }

    // Runs one exit refresh to its end and returns the status line it leaves.
    std::string refreshedExit() {
        controller_->refreshExit();
        EXPECT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
        return controller_->state().detail;
    }

    // Records every snapshot delivered through `post`, by default on the core loop.
    uint64_t watch(WarpController::Poster post = {}) {
        if (!post) post = [this](std::function<void()> f) { runtime_.post(std::move(f)); };
        return controller_->subscribe(std::move(post), [this](SnapshotPtr s) {
            seenOn_.insert(std::this_thread::get_id());
            seen_.push_back(std::move(s));
        });
    }
    // Each change of phase among the snapshots seen, with its detail.
    std::vector<Shown> phasesSeen() const {
        std::vector<Shown> phases;
        for (const auto& s : seen_)
            if (phases.empty() || phases.back().first != s->phase)
                phases.emplace_back(s->phase, s->detail);
        return phases;
    }

    CoreRuntime runtime_;
    std::vector<SnapshotPtr> seen_;  // written by one thread at a time, read after it is done
    std::set<std::thread::id> seenOn_;
    testing::TempDir dir_;
    PreferenceStore store_{dir_ / "preferences.json"};
    std::shared_ptr<FakeEngine> engine_;
    std::shared_ptr<FakeDiagnostics> diagnostics_ = std::make_shared<FakeDiagnostics>();
    std::unique_ptr<WarpController> controller_;
};

TEST_F(WarpControllerTest, StartsReadyWithMigratedSettingsAndTheFixedPorts) {
    store_.setInteger(prefkey::prefsVersion, 6);
    store_.setBoolean(prefkey::preferHttp2, true);  // the migration turns this off
    store_.setText(prefkey::connectionMode, "global_tun");
    store_.setText(prefkey::daemonDNSMode, "quad9");
    store_.setText(prefkey::nat64Prefix, "2602:fc59:b0:64::");
    makeController();
    const auto& s = controller_->state();
    EXPECT_EQ(s.socksEndpoint, "127.0.0.1:19999");
    EXPECT_EQ(engine_->socksPort(), 19999);
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);
    EXPECT_FALSE(s.http2);
    EXPECT_EQ(s.connectionMode, ConnectionMode::globalTun);
    EXPECT_EQ(s.dnsModeOption, DaemonDNSModeOption::cloudflare);
    EXPECT_EQ(s.nat64Gateway, NAT64Gateway::usFremont);
    // The usque look-up answers later, from the pool.
    EXPECT_EQ(s.usquePath, "…");
    ASSERT_TRUE(settles([&] { return controller_->state().usquePath != "…"; }));
    EXPECT_THAT(controller_->state().usquePath, ::testing::StartsWith("(not found"));
}

TEST_F(WarpControllerTest, ToggleConnectsThenDisconnectsPublishingEachChangeOnTheGuiThread) {
    makeController();
    asio::io_context gui;
    auto keepAlive = asio::make_work_guard(gui);
    std::thread guiThread([&] { gui.run(); });
    const auto guiId = guiThread.get_id();
    const auto subscription =
        watch([&](std::function<void()> f) { asio::post(gui, std::move(f)); });
    controller_->toggle();
    EXPECT_TRUE(controller_->connecting()) << "from the first press, while conflicts are scanned";
    ASSERT_TRUE(becomes(WarpPhase::connected));
    EXPECT_FALSE(controller_->connecting());
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
    for (size_t i = 1; i < seen_.size(); ++i)
        EXPECT_NE(*seen_[i], *seen_[i - 1]) << "no change in snapshot " << i;
    EXPECT_EQ(phasesSeen(),
              (std::vector<Shown>{{WarpPhase::disconnected, "Ready"},
                                  {WarpPhase::preparing, "Checking usque…"},
                                  {WarpPhase::startingEngine, "Checking usque…"},
                                  {WarpPhase::connected, "Connected · US/SJC · WARP on"},
                                  {WarpPhase::stopping, "Disconnecting…"},
                                  {WarpPhase::disconnected, "Disconnected"}}));
    EXPECT_FALSE(engine_->running);
    EXPECT_FALSE(controller_->state().exitViaTunnel);
    EXPECT_EQ(controller_->state().exitLoc, "US") << "the last exit stays on show";
    EXPECT_EQ(controller_->connectGeneration(), 1) << "a disconnect supersedes nothing";
}

TEST_F(WarpControllerTest, ToggleWhileConnectingCancelsTheAttempt) {
    bool startEnded = false;  // it sleeps for an hour unless cancelled
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        const std::shared_ptr<void> onEnd(nullptr, [&](void*) { startEnded = true; });
        co_await sleepFor(1h);
        co_return StartOutcome{};
    });
    watch();
    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::preparing));
    controller_->toggle();
    EXPECT_EQ(controller_->connectGeneration(), 2);
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    runFor(runtime_, 10ms);
    EXPECT_EQ(phasesSeen(), (std::vector<Shown>{{WarpPhase::disconnected, "Ready"},
                                                {WarpPhase::preparing, "Checking usque…"},
                                                {WarpPhase::stopping, "Cancelling…"},
                                                {WarpPhase::disconnected, "Cancelled"}}));
    EXPECT_FALSE(controller_->connecting());
    EXPECT_TRUE(startEnded);
    EXPECT_GE(engine_->stops, 1);
}

TEST_F(WarpControllerTest, ToggleInErrorDisconnectsARunningEngineElseConnectsAgain) {
    int attempts = 0;
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        ++attempts;
        co_await sleepFor(5ms);
        throw std::runtime_error("usque exited early");
    });
    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::error));
    EXPECT_EQ(controller_->state().detail, "usque exited early");
    EXPECT_EQ(controller_->state().http2Tip, "") << "nothing here suggests HTTP/2";
    controller_->toggle();  // error with nothing running: a fresh attempt
    EXPECT_TRUE(controller_->connecting());
    ASSERT_TRUE(settles([&] { return attempts == 2 && !controller_->connecting(); }));
    EXPECT_EQ(controller_->state().phase, WarpPhase::error);

    engine_->running = true;  // e.g. a listener that survived the failure
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    EXPECT_EQ(attempts, 2);
}

TEST_F(WarpControllerTest, ATimeOutWaitsForTheBlockingStartThenReportsAndSuggestsHttp2) {
    std::atomic<bool> blockingReturned{false};
    makeController(
        [&](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
            co_await awaitBlocking(c.runtime().blockingPool(), [&] {
                std::this_thread::sleep_for(200ms);
                blockingReturned = true;
            });
            co_return StartOutcome{};
        },
        /*connectRace=*/40ms);
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::error));
    EXPECT_TRUE(blockingReturned) << "the error shows only once the start has returned";
    EXPECT_EQ(controller_->state().detail,
              "Connect timed out (1s). Disconnect official WARP / check Tailscale DNS, or use "
              "Local SOCKS + HTTP/2.");
    EXPECT_EQ(controller_->state().http2Tip,
              "Connect failed: enable HTTP/2 TCP fallback and retry, or use Local SOCKS.");
    EXPECT_GE(engine_->stops, 1);
    EXPECT_FALSE(controller_->connecting());
}

TEST_F(WarpControllerTest, ASupersededAttemptCannotWriteItsLateResult) {
    // The first attempt's start runs on, uninterruptible, past its cancellation; the second
    // attempt starts after the cancel and finishes later. Only the second may show.
    int attempts = 0;
    makeController([&](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
        const bool first = ++attempts == 1;
        co_await awaitTeardown(c.runtime().blockingPool(),
                               [first] { std::this_thread::sleep_for(first ? 150ms : 300ms); });
        StartOutcome outcome = outcomeAt(first ? "OLD" : "NEW");
        outcome.appliedProxy = true;
        outcome.autoEnabledHttp2 = first;
        co_return outcome;
    });
    watch();
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::preparing));
    controller_->cancelConnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    controller_->connect();
    EXPECT_EQ(controller_->connectGeneration(), 3);
    ASSERT_TRUE(becomes(WarpPhase::connected));
    runFor(runtime_, 10ms);
    EXPECT_EQ(controller_->state().exitLoc, "NEW");
    for (const auto& s : seen_) EXPECT_NE(s->exitLoc, "OLD");
    EXPECT_FALSE(controller_->state().http2) << "the stale outcome's HTTP/2 switch was dropped";
    EXPECT_TRUE(controller_->proxyApplied());
}

TEST_F(WarpControllerTest, AnExitShowsADashForEachEmptyFieldButTheAddress) {
    makeController();
    TraceProbe sparse;
    sparse.fetched = true;
    sparse.colo = "FRA";
    controller_->applyProbe(sparse, true);
    const auto& s = controller_->state();
    EXPECT_EQ(std::vector({s.exitIp, s.exitLoc, s.exitColo, s.exitWarp}),
              (std::vector<std::string>{"", "—", "FRA", "—"}));
    EXPECT_TRUE(s.exitViaTunnel);
    controller_->clearExitDisplay();
    EXPECT_EQ(s.exitIp, "—");
    EXPECT_FALSE(s.exitViaTunnel);
}

TEST_F(WarpControllerTest, SettingsAreWrittenAndTipsFollowTheLanguage) {
    makeController();
    store_.remove(prefkey::connectionMode);
    controller_->setConnectionMode(ConnectionMode::socks);  // written even when unchanged
    EXPECT_EQ(store_.text(prefkey::connectionMode), "socks");
    store_.remove(prefkey::splitTunnelMode);
    controller_->setSplitTunnelMode(SplitTunnelMode::full);  // unchanged: nothing written
    EXPECT_FALSE(store_.contains(prefkey::splitTunnelMode));
    controller_->setSplitTunnelMode(SplitTunnelMode::autoSplit);
    EXPECT_EQ(store_.text(prefkey::splitTunnelMode), "auto");
    EXPECT_EQ(controller_->state().splitTunnelMode, SplitTunnelMode::autoSplit);

    controller_->setHttp2Tip(Http2TipKind::autoEnabled);
    EXPECT_EQ(controller_->state().http2Tip,
              "Enabled HTTP/2 automatically (common when corporate WARP blocks QUIC)");
    store_.setText(prefkey::uiLanguage, "zh");
    controller_->relocalizeVisibleCopy();
    EXPECT_EQ(controller_->state().http2Tip, "已自动开启 HTTP/2（公司 WARP / QUIC 不通时常见）");
}

TEST_F(WarpControllerTest, ConflictsAreScannedAtStartUpAndAConnectedOfficialClientRefuses) {
    diagnostics_->report = {
        .tailscaleDNS = true, .tailscaleRunning = true, .hints = {ConflictHint::tailscaleDNS}};
    makeController([](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        ADD_FAILURE() << "started despite a connected official client";
        co_return StartOutcome{};
    });
    EXPECT_EQ(controller_->state().conflictBanner, "") << "start-up does not wait for the scan";
    ASSERT_TRUE(settles([&] { return !controller_->state().conflictBanner.empty(); }));
    EXPECT_EQ(controller_->state().conflictBanner,
              "Tailscale DNS · TUN excludes 100.64/10 (ClashX-style; WARP usually fights TS)");
    EXPECT_FALSE(controller_->state().conflictBlocking);

    diagnostics_->report = {.officialWarpConnected = true,
                            .officialWarpInstalled = true,
                            .hints = {ConflictHint::disconnectOfficialWarp}};
    controller_->setHttp2Tip(Http2TipKind::connectFailed);
    controller_->connect();
    ASSERT_TRUE(settles([&] { return !controller_->connecting(); }));
    const auto& s = controller_->state();
    EXPECT_EQ(Shown(s.phase, s.detail),
              Shown(WarpPhase::disconnected, "Disconnect official WARP first"));
    EXPECT_EQ(s.conflictBanner, "Disconnect official WARP first");
    EXPECT_TRUE(s.conflictBlocking);
    EXPECT_EQ(s.http2Tip, "");
}

TEST_F(WarpControllerTest, ExitAndGatewayProbesRunOneAtATimeOnTheRouteOfTheMoment) {
    diagnostics_->directAnswer = TraceProbe{};  // failed without a reason
    makeController();
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
    makeController([&](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
        // Held until the refresh has answered.
        co_await awaitBlocking(c.runtime().blockingPool(), [&] {
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
