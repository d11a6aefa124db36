// The controller on a real core loop with a scripted start sequence and a fake engine: its
// start-up state, the single button's decision table, the exit display, snapshot publishing and
// the generation rule that keeps superseded attempts from writing.

#include "controller/warp_controller.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "model/preference_keys.hpp"
#include "support/run_until.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::runFor;
using testing::runUntil;

class FakeEngine : public TunnelEngine {
public:
    explicit FakeEngine(int port) : port_(port) {}
    int socksPort() const override { return port_; }
    bool isRunning() const override { return running; }
    std::filesystem::path resolveBinary() const override {
        if (binary.empty()) throw std::runtime_error("not found");
        return binary;
    }
    void ensureReady() override {}
    void startSocks(bool) override { running = true; }
    void stopProcessOnly() override { running = false; }
    void stop() override {
        ++stops;
        running = false;
    }

    std::filesystem::path binary;

    std::atomic<bool> running{false};
    std::atomic<int> stops{0};

private:
    int port_;
};

// Scripted answers for the exit probes, gateway latencies and conflict scan; counts the calls.
class FakeDiagnostics : public DiagnosticsService {
public:
    TraceProbe exitViaSocks(int) override {
        ++socksProbes;
        std::this_thread::sleep_for(probeDelay);
        std::lock_guard lock(mutex);
        return socksAnswer;
    }
    TraceProbe exitDirect() override {
        ++directProbes;
        std::this_thread::sleep_for(probeDelay);
        std::lock_guard lock(mutex);
        return directAnswer;
    }
    ConflictReport scanConflicts() override {
        ++scans;
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
    std::chrono::milliseconds probeDelay{0};
    std::atomic<int> socksProbes{0}, directProbes{0}, scans{0}, latencyRuns{0};
};

TraceProbe probeAt(std::string loc) {
    return {.fetched = true,
            .ip = "104.28.0.1",
            .loc = std::move(loc),
            .colo = "SJC",
            .warp = "on",
            .error = std::nullopt};
}

class WarpControllerTest : public ::testing::Test {
protected:
    // Builds the controller; `start` scripts each connect attempt's start sequence.
    void makeController(StartSequence start = {}) {
        ControllerEnvironment environment(runtime_, store_);
        environment.timings.connectRace = 2s;
        environment.makeEngine = [this](int port) {
            engine_ = std::make_shared<FakeEngine>(port);
            return engine_;
        };
        environment.startSequence = start ? std::move(start) : succeedAt("US");
        environment.diagnostics = diagnostics_;
        controller_ = std::make_unique<WarpController>(std::move(environment));
    }

    static StartSequence succeedAt(std::string loc) {
        return [loc](WarpController& controller, StartRequest) -> asio::awaitable<StartOutcome> {
            controller.update([](ControllerSnapshot& s) { s.phase = WarpPhase::startingEngine; });
            co_await sleepFor(10ms);
            co_return StartOutcome{.probe = probeAt(loc),
                                   .coverageNote = "",
                                   .appliedProxy = false,
                                   .relayStarted = false,
                                   .tunStarted = false,
                                   .autoEnabledHttp2 = false};
        };
    }

    bool phaseBecomes(WarpPhase phase, std::chrono::milliseconds timeout = 3s) {
        return runUntil(
            runtime_, [&] { return controller_->state().phase == phase; }, timeout);
    }

    CoreRuntime runtime_;
    testing::TempDir dir_;
    PreferenceStore store_{dir_ / "preferences.json"};
    std::shared_ptr<FakeEngine> engine_;
    std::shared_ptr<FakeDiagnostics> diagnostics_ = std::make_shared<FakeDiagnostics>();
    std::unique_ptr<WarpController> controller_;
};

TEST_F(WarpControllerTest, FirstLaunchShowsReadyWithDefaultEndpoints) {
    makeController();
    const auto& s = controller_->state();
    EXPECT_EQ(s.phase, WarpPhase::disconnected);
    EXPECT_EQ(s.detail, "Ready");
    EXPECT_EQ(s.exitIp, "—");
    EXPECT_EQ(s.exitLoc, "—");
    EXPECT_EQ(s.exitColo, "—");
    EXPECT_EQ(s.exitWarp, "—");
    EXPECT_EQ(s.socksEndpoint, "127.0.0.1:19999");
    EXPECT_EQ(s.httpEndpoint, "127.0.0.1:19998");
    EXPECT_EQ(s.usquePath, "…");  // until the look-up on the pool answers
    ASSERT_TRUE(runUntil(runtime_, [&] { return controller_->state().usquePath != "…"; }));
    EXPECT_EQ(controller_->state().usquePath, "(not found — run scripts/fetch-usque)");
    EXPECT_TRUE(s.chinaDirect);
    EXPECT_EQ(s.dnsModeOption, DaemonDNSModeOption::cloudflare);
    EXPECT_EQ(s.dnsDeviceDraft, "Nimbra");
    EXPECT_EQ(controller_->connectGeneration(), 0);
    EXPECT_EQ(controller_->healGeneration(), 0);
    EXPECT_EQ(store_.integer(prefkey::prefsVersion), 7);  // migrated before anything was read
}

TEST_F(WarpControllerTest, StartUpReadsMigratedSettingsAndPortRules) {
    store_.setInteger(prefkey::prefsVersion, 6);
    store_.setBoolean(prefkey::preferHttp2, true);  // the migration turns this off
    store_.setInteger(prefkey::socksPort, 18088);
    store_.setInteger(prefkey::httpProxyPort, 0);
    store_.setText(prefkey::connectionMode, "global_tun");
    store_.setText(prefkey::daemonDNSMode, "quad9");
    store_.setText(prefkey::nat64Prefix, "2602:fc59:b0:64::");
    makeController();
    const auto& s = controller_->state();
    EXPECT_FALSE(s.http2);
    EXPECT_EQ(s.socksEndpoint, "127.0.0.1:19999");
    EXPECT_EQ(store_.integer(prefkey::socksPort), 19999);
    EXPECT_EQ(engine_->socksPort(), 19999);
    EXPECT_EQ(s.httpEndpoint, "127.0.0.1:19998");
    EXPECT_EQ(s.connectionMode, ConnectionMode::globalTun);
    EXPECT_EQ(s.dnsModeOption, DaemonDNSModeOption::cloudflare);
    EXPECT_EQ(s.nat64Gateway, NAT64Gateway::usFremont);
}

TEST_F(WarpControllerTest, ToggleConnectsAndDisconnects) {
    makeController();
    std::vector<std::pair<WarpPhase, std::string>> shown;
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&](SnapshotPtr s) {
                                   if (shown.empty() || shown.back().first != s->phase)
                                       shown.emplace_back(s->phase, s->detail);
                               });
    controller_->toggle();
    EXPECT_TRUE(controller_->connecting());  // from the first press, while conflicts are scanned
    EXPECT_EQ(controller_->connectGeneration(), 1);

    ASSERT_TRUE(phaseBecomes(WarpPhase::connected));
    runFor(runtime_, 10ms);
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(shown[1], std::make_pair(WarpPhase::preparing, std::string("Checking usque…")));
    EXPECT_EQ(shown[2].first, WarpPhase::startingEngine);
    controller_->unsubscribe(subscription);
    EXPECT_EQ(controller_->state().detail, "Connected · US/SJC · WARP on");
    EXPECT_EQ(controller_->state().exitIp, "104.28.0.1");
    EXPECT_TRUE(controller_->state().exitViaTunnel);
    EXPECT_FALSE(controller_->connecting());

    engine_->running = true;
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    EXPECT_EQ(controller_->state().detail, "Disconnecting…");
    controller_->toggle();  // while stopping: nothing
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);

    ASSERT_TRUE(phaseBecomes(WarpPhase::disconnected));
    EXPECT_EQ(controller_->state().detail, "Disconnected");
    EXPECT_FALSE(engine_->running);
    EXPECT_FALSE(controller_->state().exitViaTunnel);
    EXPECT_EQ(controller_->state().exitLoc, "US");   // the last exit stays on show
    EXPECT_EQ(controller_->connectGeneration(), 1);  // disconnect does not supersede
    EXPECT_EQ(controller_->healGeneration(), 1);
}

TEST_F(WarpControllerTest, ToggleWhileConnectingCancels) {
    std::atomic<bool> startWasCancelled{false};
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        try {
            co_await sleepFor(10s);
        } catch (const std::system_error&) {
            startWasCancelled = true;
            throw;
        }
        co_return StartOutcome{};
    });
    controller_->toggle();
    runFor(runtime_, 20ms);
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    EXPECT_EQ(controller_->state().detail, "Cancelling…");
    EXPECT_EQ(controller_->connectGeneration(), 2);

    ASSERT_TRUE(phaseBecomes(WarpPhase::disconnected));
    EXPECT_EQ(controller_->state().detail, "Cancelled");
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
    ASSERT_TRUE(phaseBecomes(WarpPhase::error));
    EXPECT_EQ(controller_->state().detail, "usque exited early");
    EXPECT_EQ(controller_->state().http2Tip, "");  // nothing suggests HTTP/2 here

    engine_->running = true;  // e.g. a listener that survived the failure
    controller_->toggle();
    EXPECT_EQ(controller_->state().phase, WarpPhase::stopping);
    ASSERT_TRUE(phaseBecomes(WarpPhase::disconnected));
    EXPECT_EQ(attempts, 1);

    controller_->toggle();
    ASSERT_TRUE(phaseBecomes(WarpPhase::error));
    controller_->toggle();  // error with nothing running: a fresh attempt
    EXPECT_TRUE(controller_->connecting());
    ASSERT_TRUE(runUntil(runtime_, [&] { return attempts == 3 && !controller_->connecting(); }));
    EXPECT_EQ(controller_->state().phase, WarpPhase::error);
}

TEST_F(WarpControllerTest, ATimeoutWaitsForTheBlockingStartThenReportsAndSuggestsHttp2) {
    std::atomic<bool> blockingReturned{false};
    bool returnedBeforeError = false;
    ControllerEnvironment environment(runtime_, store_);
    environment.timings.connectRace = 40ms;
    environment.makeEngine = [this](int port) {
        return engine_ = std::make_shared<FakeEngine>(port);
    };
    environment.diagnostics = diagnostics_;
    environment.startSequence = [&](WarpController& c,
                                    StartRequest) -> asio::awaitable<StartOutcome> {
        co_await awaitBlocking(c.runtime().blockingPool(), [&] {
            std::this_thread::sleep_for(200ms);
            blockingReturned = true;
        });
        co_return StartOutcome{};
    };
    controller_ = std::make_unique<WarpController>(std::move(environment));
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&](SnapshotPtr s) {
                                   if (s->phase == WarpPhase::error)
                                       returnedBeforeError = blockingReturned;
                               });

    controller_->connect();
    ASSERT_TRUE(phaseBecomes(WarpPhase::error));
    runFor(runtime_, 10ms);
    EXPECT_TRUE(returnedBeforeError);
    EXPECT_EQ(controller_->state().detail,
              "Connect timed out (1s). Disconnect official WARP / check Tailscale DNS, or use "
              "Local SOCKS + HTTP/2.");
    EXPECT_EQ(controller_->http2TipKind(), Http2TipKind::connectFailed);
    EXPECT_EQ(controller_->state().http2Tip,
              "Connect failed: enable HTTP/2 TCP fallback and retry, or use Local SOCKS.");
    EXPECT_GE(engine_->stops, 1);
    EXPECT_FALSE(controller_->connecting());
    controller_->unsubscribe(subscription);
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
        co_return StartOutcome{.probe = probeAt(first ? "OLD" : "NEW"),
                               .coverageNote = "",
                               .appliedProxy = true,
                               .relayStarted = false,
                               .tunStarted = false,
                               .autoEnabledHttp2 = first};
    });
    const auto subscription =
        controller_->subscribe([this](std::function<void()> f) { runtime_.post(std::move(f)); },
                               [&](SnapshotPtr s) { shownLocations.push_back(s->exitLoc); });

    controller_->connect();
    runFor(runtime_, 20ms);
    controller_->cancelConnect();
    ASSERT_TRUE(phaseBecomes(WarpPhase::disconnected));
    EXPECT_EQ(controller_->state().detail, "Cancelled");
    controller_->connect();
    EXPECT_EQ(controller_->connectGeneration(), 3);
    ASSERT_TRUE(phaseBecomes(WarpPhase::preparing));

    ASSERT_TRUE(phaseBecomes(WarpPhase::connected));
    runFor(runtime_, 10ms);
    EXPECT_EQ(controller_->state().exitLoc, "NEW");
    EXPECT_EQ(std::count(shownLocations.begin(), shownLocations.end(), "OLD"), 0);
    EXPECT_FALSE(controller_->state().http2);  // the stale outcome's HTTP/2 switch was dropped
    EXPECT_TRUE(controller_->proxyApplied());
    controller_->unsubscribe(subscription);
}

TEST_F(WarpControllerTest, ApplyProbeIgnoresUnfetchedProbesAndDashesEmptyFields) {
    makeController();
    controller_->applyProbe(probeAt("DE"), false);
    controller_->applyProbe(TraceProbe{.fetched = false,
                                       .ip = "9.9.9.9",
                                       .loc = "",
                                       .colo = "",
                                       .warp = "",
                                       .error = "curl failed"},
                            true);
    EXPECT_EQ(controller_->state().exitIp, "104.28.0.1");
    EXPECT_EQ(controller_->state().exitLoc, "DE");

    controller_->applyProbe(
        TraceProbe{
            .fetched = true, .ip = "", .loc = "", .colo = "FRA", .warp = "", .error = std::nullopt},
        true);
    EXPECT_EQ(controller_->state().exitIp, "");  // an empty address stays empty
    EXPECT_EQ(controller_->state().exitLoc, "—");
    EXPECT_EQ(controller_->state().exitColo, "FRA");
    EXPECT_EQ(controller_->state().exitWarp, "—");
    EXPECT_TRUE(controller_->state().exitViaTunnel);

    controller_->clearExitDisplay();
    EXPECT_EQ(controller_->state().exitIp, "—");
    EXPECT_FALSE(controller_->state().exitViaTunnel);
}

TEST_F(WarpControllerTest, SettingHandlersWriteThePreferences) {
    makeController();
    controller_->setHttp2(true);
    EXPECT_EQ(store_.boolean(prefkey::preferHttp2), true);

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
}

TEST_F(WarpControllerTest, TipsFollowTheLanguage) {
    makeController();
    controller_->setHttp2Tip(Http2TipKind::autoEnabled);
    EXPECT_EQ(controller_->state().http2Tip,
              "Enabled HTTP/2 automatically (common when corporate WARP blocks QUIC)");
    store_.setText(prefkey::uiLanguage, "zh");
    controller_->relocalizeVisibleCopy();
    EXPECT_EQ(controller_->state().http2Tip, "已自动开启 HTTP/2（公司 WARP / QUIC 不通时常见）");

    controller_->setHttp2Tip(std::nullopt);
    controller_->relocalizeVisibleCopy();
    EXPECT_EQ(controller_->state().http2Tip, "");
    EXPECT_EQ(controller_->state().detail, "Ready");  // detail keeps the language it was made in
}

TEST_F(WarpControllerTest, SnapshotsReachSubscribersOnTheirOwnThread) {
    makeController();
    asio::io_context guiLoop;
    auto keepAlive = asio::make_work_guard(guiLoop);
    std::thread gui([&] { guiLoop.run(); });
    const auto guiThread = gui.get_id();

    std::mutex mutex;
    std::vector<SnapshotPtr> received;
    std::set<std::thread::id> deliveryThreads;
    const auto subscription =
        controller_->subscribe([&](std::function<void()> f) { asio::post(guiLoop, std::move(f)); },
                               [&](SnapshotPtr s) {
                                   std::lock_guard lock(mutex);
                                   received.push_back(std::move(s));
                                   deliveryThreads.insert(std::this_thread::get_id());
                               });

    controller_->connect();
    ASSERT_TRUE(phaseBecomes(WarpPhase::connected));
    keepAlive.reset();
    gui.join();

    ASSERT_GE(received.size(), 3u);
    EXPECT_EQ(received.front()->phase, WarpPhase::disconnected);  // current state first
    EXPECT_EQ(received.back()->phase, WarpPhase::connected);
    EXPECT_EQ(received.back()->detail, "Connected · US/SJC · WARP on");
    EXPECT_EQ(deliveryThreads, std::set<std::thread::id>{guiThread});
    for (size_t i = 1; i < received.size(); ++i) {
        EXPECT_NE(*received[i], *received[i - 1]) << "a snapshot without a change at " << i;
    }
    controller_->unsubscribe(subscription);
}

TEST_F(WarpControllerTest, AConnectedOfficialClientRefusesTheConnect) {
    diagnostics_->report = {.officialWarpConnected = true,
                            .officialWarpInstalled = true,
                            .tailscaleDNS = true,
                            .tailscaleRunning = false,
                            .hints = {ConflictHint::disconnectOfficialWarp}};
    int starts = 0;
    makeController([&](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        ++starts;
        co_return StartOutcome{};
    });
    controller_->setHttp2Tip(Http2TipKind::connectFailed);
    controller_->connect();
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->connecting(); }));
    EXPECT_EQ(controller_->state().phase, WarpPhase::disconnected);
    EXPECT_EQ(controller_->state().detail, "Disconnect official WARP first");
    EXPECT_EQ(controller_->state().conflictBanner, "Disconnect official WARP first");
    EXPECT_TRUE(controller_->state().conflictBlocking);
    EXPECT_EQ(controller_->state().http2Tip, "");
    EXPECT_EQ(starts, 0);

    store_.setText(prefkey::uiLanguage, "zh");
    controller_->relocalizeVisibleCopy();
    EXPECT_EQ(controller_->state().conflictBanner, "请先断开官方 WARP");
}

TEST_F(WarpControllerTest, StartUpScansForConflictsInTheBackground) {
    diagnostics_->report = {.officialWarpConnected = false,
                            .officialWarpInstalled = false,
                            .tailscaleDNS = true,
                            .tailscaleRunning = true,
                            .hints = {ConflictHint::tailscaleDNS}};
    makeController();
    EXPECT_EQ(controller_->state().conflictBanner, "");  // init does not wait for the scan
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().conflictBanner.empty(); }));
    EXPECT_EQ(controller_->state().conflictBanner,
              "Tailscale DNS · TUN excludes 100.64/10 (ClashX-style; WARP usually fights TS)");
    EXPECT_FALSE(controller_->state().conflictBlocking);
}

TEST_F(WarpControllerTest, ExitRefreshRunsOneProbeAtATimeAndPicksItsRoute) {
    diagnostics_->directAnswer = probeAt("DE");
    diagnostics_->probeDelay = 50ms;
    makeController();
    controller_->refreshExit();
    controller_->refreshExit();  // ignored: one is running
    EXPECT_TRUE(controller_->state().exitProbing);
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(diagnostics_->directProbes, 1);
    EXPECT_EQ(diagnostics_->socksProbes, 0);
    EXPECT_EQ(controller_->state().detail, "System exit · DE/SJC · WARP on");
    EXPECT_FALSE(controller_->state().exitViaTunnel);

    // Connected with the engine up: through the SOCKS port, counted as via the tunnel.
    controller_->connect();
    ASSERT_TRUE(phaseBecomes(WarpPhase::connected));
    engine_->running = true;
    auto leak = probeAt("US");
    leak.warp = "off";
    diagnostics_->socksAnswer = leak;
    controller_->refreshExit();
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(diagnostics_->socksProbes, 1);
    EXPECT_EQ(controller_->state().detail,
              "Tunnel anomaly (possible leak) · loc=US colo=SJC warp=off");
    EXPECT_TRUE(controller_->state().exitViaTunnel);

    diagnostics_->socksAnswer = TraceProbe::failed("curl socks5h probe failed (7)");
    controller_->refreshExit();
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(controller_->state().detail,
              "Connected but exit probe failed — tunnel may be unhealthy");
    EXPECT_EQ(controller_->state().exitLoc, "US");  // a failed probe leaves the display
}

TEST_F(WarpControllerTest, ExitRefreshFailuresAndResultsDroppedByANewConnect) {
    diagnostics_->directAnswer = TraceProbe{};  // failed without a reason
    makeController([](WarpController&, StartRequest) -> asio::awaitable<StartOutcome> {
        co_await sleepFor(150ms);  // outlasts the refresh below
        co_return StartOutcome{.probe = probeAt("US"),
                               .coverageNote = "",
                               .appliedProxy = false,
                               .relayStarted = false,
                               .tunStarted = false,
                               .autoEnabledHttp2 = false};
    });
    controller_->refreshExit();
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitProbing; }));
    EXPECT_EQ(controller_->state().detail, "Exit probe failed: network error");

    diagnostics_->directAnswer = probeAt("JP");
    diagnostics_->probeDelay = 40ms;
    controller_->refreshExit();
    controller_->connect();  // the refresh's answer arrives during this attempt
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitProbing; }));
    EXPECT_NE(controller_->state().exitLoc, "JP");
    ASSERT_TRUE(phaseBecomes(WarpPhase::connected));
    EXPECT_EQ(controller_->state().exitLoc, "US");
}

TEST_F(WarpControllerTest, GatewayLatenciesAreMeasuredOnceAtATime) {
    diagnostics_->latencies = {{"none", 40}, {"2602:fc59:b0:64::", -1}};
    makeController();
    controller_->refreshExitProbes();
    controller_->refreshExitProbes();
    EXPECT_TRUE(controller_->state().exitLatencyProbing);
    ASSERT_TRUE(runUntil(runtime_, [&] { return !controller_->state().exitLatencyProbing; }));
    EXPECT_EQ(diagnostics_->latencyRuns, 1);
    EXPECT_EQ(controller_->state().exitProbes, diagnostics_->latencies);
}

}  // namespace
}  // namespace nimbra
