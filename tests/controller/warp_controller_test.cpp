// The controller on a real core loop with a scripted start sequence, a fake engine and scripted
// diagnostics: its start-up state, the phases of connect, disconnect and cancel, the snapshots
// it publishes, the generation rule that keeps superseded attempts from writing, and the exit
// and conflict displays.

#include "controller/warp_controller.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
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
class FakeDiagnostics : public DiagnosticsService {
public:
    TraceProbe exitViaSocks(int) override { return answer(socksProbes, socksAnswer); }
    TraceProbe exitDirect() override { return answer(directProbes, directAnswer); }
    ConflictReport scanConflicts() override {
        std::lock_guard lock(mutex);
        return report;
    }
    asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool&, int) override {
        ++latencyRuns;
        co_await sleepFor(30ms);
        co_return latencies;
    }

    std::mutex mutex;
    TraceProbe socksAnswer, directAnswer;
    ConflictReport report;
    std::map<std::string, int> latencies;
    std::atomic<int> socksProbes{0}, directProbes{0}, latencyRuns{0};

private:
    TraceProbe answer(std::atomic<int>& calls, const TraceProbe& probe) {
        ++calls;
        std::lock_guard lock(mutex);
        return probe;
    }
};

TraceProbe probeAt(const std::string& loc) {
    return parseTrace("ip=104.28.0.1\nloc=" + loc + "\ncolo=SJC\nwarp=on\n");
}

StartOutcome outcomeAt(std::string loc) {
    StartOutcome outcome;
    outcome.probe = probeAt(loc);
    return outcome;
}

class WarpControllerTest : public ::testing::Test {
protected:
    // Builds the controller; `start` scripts each connect attempt's start sequence.
    void makeController(StartSequence start = {}, std::chrono::milliseconds connectRace = 10s) {
        ControllerEnvironment environment(runtime_, store_);
        environment.timings.connectRace = connectRace;
        environment.makeEngine = [this](int port) {
            return engine_ = std::make_shared<FakeEngine>(port);
        };
        environment.startSequence = start ? std::move(start) : succeedAt("US");
        environment.diagnostics = diagnostics_;
        controller_ = std::make_unique<WarpController>(std::move(environment));
    }

    static StartSequence succeedAt(std::string loc) {
        return [loc](WarpController& controller, StartRequest) -> asio::awaitable<StartOutcome> {
            controller.update([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });
            co_await sleepFor(10ms);
            co_return outcomeAt(loc);
        };
    }

    bool becomes(WarpPhase phase) {
        return runUntil(
            runtime_, [&] { return controller_->state().phase == phase; }, 60s);
    }
    bool settles(const std::function<bool()>& done) { return runUntil(runtime_, done, 60s); }

    CoreRuntime runtime_;
    testing::TempDir dir_;
    PreferenceStore store_{dir_ / "preferences.json"};
    std::shared_ptr<FakeEngine> engine_;
    std::shared_ptr<FakeDiagnostics> diagnostics_ = std::make_shared<FakeDiagnostics>();
    std::unique_ptr<WarpController> controller_;
};

TEST_F(WarpControllerTest, StartsReadyWithMigratedSettingsAndTheFixedPorts) {
    store_.setInteger(prefkey::prefsVersion, 6);
    store_.setBoolean(prefkey::preferHttp2, true);  // the migration turns this off
    store_.setInteger(prefkey::socksPort, 18088);
    store_.setInteger(prefkey::httpProxyPort, 0);
    store_.setText(prefkey::connectionMode, "global_tun");
    store_.setText(prefkey::daemonDNSMode, "quad9");
    store_.setText(prefkey::nat64Prefix, "2602:fc59:b0:64::");
    makeController();
    const auto& s = controller_->state();
    EXPECT_EQ(Shown(s.phase, s.detail), Shown(WarpPhase::disconnected, "Ready"));
    EXPECT_EQ(s.socksEndpoint, "127.0.0.1:19999");
    EXPECT_EQ(s.httpEndpoint, "127.0.0.1:19998");
    EXPECT_EQ(engine_->socksPort(), 19999);
    EXPECT_EQ(store_.integer(prefkey::socksPort), 19999);
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
    std::mutex mutex;
    std::vector<SnapshotPtr> received;
    std::set<std::thread::id> threads;
    const auto subscription =
        controller_->subscribe([&](std::function<void()> f) { asio::post(gui, std::move(f)); },
                               [&](SnapshotPtr s) {
                                   std::lock_guard lock(mutex);
                                   received.push_back(std::move(s));
                                   threads.insert(std::this_thread::get_id());
                               });
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
    controller_->unsubscribe(subscription);

    EXPECT_EQ(threads, std::set{guiId});
    std::vector<Shown> phases;
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_TRUE(i == 0 || *received[i] != *received[i - 1]) << "no change in snapshot " << i;
        if (phases.empty() || phases.back().first != received[i]->phase)
            phases.emplace_back(received[i]->phase, received[i]->detail);
    }
    EXPECT_EQ(phases, (std::vector<Shown>{{WarpPhase::disconnected, "Ready"},
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
    std::atomic<bool> startWasCancelled{false};
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        try {
            co_await sleepFor(1h);
        } catch (const std::system_error&) {
            startWasCancelled = true;
            throw;
        }
        co_return StartOutcome{};
    });
    std::vector<Shown> shown;  // each change of phase, with its detail
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&shown](SnapshotPtr s) {
                                   if (shown.empty() || shown.back().first != s->phase)
                                       shown.emplace_back(s->phase, s->detail);
                               });
    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::preparing));
    controller_->toggle();
    EXPECT_EQ(controller_->connectGeneration(), 2);
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    runFor(runtime_, 10ms);
    controller_->unsubscribe(subscription);
    EXPECT_EQ(shown, (std::vector<Shown>{{WarpPhase::disconnected, "Ready"},
                                         {WarpPhase::preparing, "Checking usque…"},
                                         {WarpPhase::stopping, "Cancelling…"},
                                         {WarpPhase::disconnected, "Cancelled"}}));
    EXPECT_FALSE(controller_->connecting());
    EXPECT_TRUE(startWasCancelled);
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

    engine_->running = true;  // e.g. a listener that survived the failure
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    EXPECT_EQ(attempts, 1);

    controller_->toggle();
    ASSERT_TRUE(becomes(WarpPhase::error));
    controller_->toggle();  // error with nothing running: a fresh attempt
    EXPECT_TRUE(controller_->connecting());
    ASSERT_TRUE(settles([&] { return attempts == 3 && !controller_->connecting(); }));
    EXPECT_EQ(controller_->state().phase, WarpPhase::error);
}

TEST_F(WarpControllerTest, ATimeOutWaitsForTheBlockingStartThenReportsAndSuggestsHttp2) {
    std::atomic<bool> blockingReturned{false};
    bool returnedBeforeError = false;
    makeController(
        [&](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
            co_await awaitBlocking(c.runtime().blockingPool(), [&] {
                std::this_thread::sleep_for(200ms);
                blockingReturned = true;
            });
            co_return StartOutcome{};
        },
        /*connectRace=*/40ms);
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&](SnapshotPtr s) {
                                   if (s->phase == WarpPhase::error)
                                       returnedBeforeError = blockingReturned;
                               });
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::error));
    runFor(runtime_, 10ms);
    controller_->unsubscribe(subscription);
    EXPECT_TRUE(returnedBeforeError);
    EXPECT_EQ(controller_->state().detail,
              "Connect timed out (1s). Disconnect official WARP / check Tailscale DNS, or use "
              "Local SOCKS + HTTP/2.");
    EXPECT_EQ(controller_->http2TipKind(), Http2TipKind::connectFailed);
    EXPECT_EQ(controller_->state().http2Tip,
              "Connect failed: enable HTTP/2 TCP fallback and retry, or use Local SOCKS.");
    EXPECT_GE(engine_->stops, 1);
    EXPECT_FALSE(controller_->connecting());
}

TEST_F(WarpControllerTest, ASupersededAttemptCannotWriteItsLateResult) {
    // The first attempt's start runs on, uninterruptible, past its cancellation; the second
    // attempt starts after the cancel and finishes later. Only the second may show.
    int attempts = 0;
    std::vector<std::string> shownLocations;
    makeController([&](WarpController& c, StartRequest) -> asio::awaitable<StartOutcome> {
        const bool first = ++attempts == 1;
        co_await awaitTeardown(c.runtime().blockingPool(),
                               [first] { std::this_thread::sleep_for(first ? 150ms : 300ms); });
        StartOutcome outcome = outcomeAt(first ? "OLD" : "NEW");
        outcome.appliedProxy = true;
        outcome.autoEnabledHttp2 = first;
        co_return outcome;
    });
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&](SnapshotPtr s) { shownLocations.push_back(s->exitLoc); });
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::preparing));
    controller_->cancelConnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    controller_->connect();
    EXPECT_EQ(controller_->connectGeneration(), 3);
    ASSERT_TRUE(becomes(WarpPhase::connected));
    runFor(runtime_, 10ms);
    controller_->unsubscribe(subscription);
    EXPECT_EQ(controller_->state().exitLoc, "NEW");
    EXPECT_EQ(std::count(shownLocations.begin(), shownLocations.end(), "OLD"), 0);
    EXPECT_FALSE(controller_->state().http2) << "the stale outcome's HTTP/2 switch was dropped";
    EXPECT_TRUE(controller_->proxyApplied());
}

TEST_F(WarpControllerTest, ApplyProbeIgnoresUnfetchedProbesAndDashesEmptyFields) {
    makeController();
    controller_->applyProbe(probeAt("DE"), false);
    TraceProbe unfetched = TraceProbe::failed("curl failed");
    unfetched.ip = "9.9.9.9";
    controller_->applyProbe(unfetched, true);
    EXPECT_EQ(controller_->state().exitLoc, "DE");

    TraceProbe sparse;
    sparse.fetched = true;
    sparse.colo = "FRA";
    controller_->applyProbe(sparse, true);
    const auto& s = controller_->state();
    EXPECT_EQ(std::vector({s.exitIp, s.exitLoc, s.exitColo, s.exitWarp}),
              (std::vector<std::string>{"", "—", "FRA", "—"}))
        << "an empty address stays empty";
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
    controller_->setConnectionMode(ConnectionMode::realTun);
    EXPECT_EQ(store_.text(prefkey::connectionMode), "real_tun");
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
    int starts = 0;
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        ++starts;
        co_return StartOutcome{};
    });
    EXPECT_EQ(controller_->state().conflictBanner, "") << "start-up does not wait for the scan";
    ASSERT_TRUE(settles([&] { return !controller_->state().conflictBanner.empty(); }));
    EXPECT_EQ(controller_->state().conflictBanner,
              "Tailscale DNS · TUN excludes 100.64/10 (ClashX-style; WARP usually fights TS)");
    EXPECT_FALSE(controller_->state().conflictBlocking);

    {
        std::lock_guard lock(diagnostics_->mutex);
        diagnostics_->report = {.officialWarpConnected = true,
                                .officialWarpInstalled = true,
                                .hints = {ConflictHint::disconnectOfficialWarp}};
    }
    controller_->setHttp2Tip(Http2TipKind::connectFailed);
    controller_->connect();
    ASSERT_TRUE(settles([&] { return !controller_->connecting(); }));
    const auto& s = controller_->state();
    EXPECT_EQ(Shown(s.phase, s.detail),
              Shown(WarpPhase::disconnected, "Disconnect official WARP first"));
    EXPECT_EQ(s.conflictBanner, "Disconnect official WARP first");
    EXPECT_TRUE(s.conflictBlocking);
    EXPECT_EQ(s.http2Tip, "");
    EXPECT_EQ(starts, 0);
}

TEST_F(WarpControllerTest, ExitAndGatewayProbesRunOneAtATimeOnTheRouteOfTheMoment) {
    diagnostics_->directAnswer = TraceProbe{};  // failed without a reason
    makeController();
    controller_->refreshExit();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(controller_->state().detail, "Exit probe failed: network error");

    diagnostics_->directAnswer = probeAt("DE");
    controller_->refreshExit();
    controller_->refreshExit();  // ignored: one is running
    EXPECT_TRUE(controller_->state().exitProbing);
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(diagnostics_->directProbes, 2);
    EXPECT_EQ(controller_->state().detail, "System exit · DE/SJC · WARP on");
    EXPECT_FALSE(controller_->state().exitViaTunnel);

    // Connected with the engine up: through the SOCKS port, counted as via the tunnel.
    controller_->connect();
    ASSERT_TRUE(becomes(WarpPhase::connected));
    engine_->running = true;
    diagnostics_->socksAnswer = probeAt("US");
    diagnostics_->socksAnswer.warp = "off";
    controller_->refreshExit();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(diagnostics_->socksProbes, 1);
    EXPECT_EQ(controller_->state().detail,
              "Tunnel anomaly (possible leak) · loc=US colo=SJC warp=off");
    EXPECT_TRUE(controller_->state().exitViaTunnel);

    diagnostics_->socksAnswer = TraceProbe::failed("curl socks5h probe failed (7)");
    controller_->refreshExit();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(controller_->state().detail,
              "Connected but exit probe failed — tunnel may be unhealthy");
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
