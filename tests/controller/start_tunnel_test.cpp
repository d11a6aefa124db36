// The product's start sequence under the controller, against a scriptable engine, scripted exit
// probes and an in-memory desktop settings store: the HTTP/2 retry rules, and that every failure
// or cancel leaves nothing running and the user's settings as they were. (What each mode starts
// and a quit's restore are shown end to end by tests/e2e/connect_e2e_test.cpp.)

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <fstream>

#include "controller/controller_fixture.hpp"
#include "model/preference_keys.hpp"
#include "support/fake_daemon.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::inOrder;
using testing::listening;
using testing::probeAt;
using testing::Shown;

class StartTunnelTest : public testing::ControllerFixture {
protected:
    StartTunnelTest() {
        store_.setInteger(prefkey::socksPort, socksPort_);
        store_.setInteger(prefkey::httpProxyPort, httpPort_);
        desktop_->setUsersOwn("user's own");
    }

    void connectIn(const std::string& mode) {
        store_.setText(prefkey::connectionMode, mode);
        makeController();
        watch();
        controller_->connect();
    }
    // Nothing of the connection is left: no engine, no relay, the user's settings back.
    void expectNothingLeft() {
        EXPECT_FALSE(engine_->running);
        EXPECT_FALSE(listening(httpPort_));
        EXPECT_EQ(desktop_->current(), "user's own");
    }

    const int socksPort_ = testing::freeLoopbackPort();
    const int httpPort_ = testing::freeLoopbackPort();
};

TEST_F(StartTunnelTest, QuicTroubleIsRetriedOnHttp2AtMostTwiceAndNeverWhenHttp2WasChosen) {
    const TraceProbe off = probeAt("US", "off");
    const std::string notViaWarp = "Tunnel not via WARP (loc=US colo=SJC warp=off ip=104.28.0.1)";
    struct Case {
        const char* name;
        bool http2;
        bool failHttp2;  // a failing QUIC start: the e2e transport table (tests/e2e)
        std::vector<TraceProbe> probes;  // answers in order, then WARP on
        std::vector<bool> starts;        // transport of each engine start: true for HTTP/2
        Shown end;
        std::vector<std::string> details;  // the retry texts that must appear, in order
    };
    const std::string quicProbeFailed = "QUIC/probe failed — retrying with HTTP/2…";
    const std::string startFailed = "Start failed — retrying with HTTP/2…";
    const Shown connected{WarpPhase::connected, "Connected · US/SJC · WARP on"};
    const Shown exitedEarly{WarpPhase::error, "usque exited early"};
    // clang-format off
    const std::vector<Case> cases{
        {"probe fails on QUIC only", false, false, {off}, {false, true}, connected,
         {"Starting usque SOCKS (QUIC)…", "Probing WARP exit…", quicProbeFailed,
          "Starting usque SOCKS (HTTP/2)…", "Probing WARP exit…", connected.second}},
        // The retry after the probe runs inside the first attempt, whose own handler then
        // grants the second and last one.
        {"probe fails on QUIC, then HTTP/2 starts fail", false, true, {off},
         {false, true, true}, exitedEarly, {quicProbeFailed, startFailed}},
        {"probe fails on both", false, false, {off, off}, {false, true},
         {WarpPhase::error, notViaWarp}, {quicProbeFailed}},
        {"HTTP/2 chosen, probe fails", true, false, {off}, {true},
         {WarpPhase::error, notViaWarp}, {"Starting usque SOCKS (HTTP/2)…"}},
        {"HTTP/2 chosen, no trace at all", true, false, {TraceProbe{}}, {true},
         {WarpPhase::error, "WARP exit probe failed"}, {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen_.clear();
        diagnostics_ = std::make_shared<testing::FakeDiagnostics>();
        for (const TraceProbe& probe : c.probes) diagnostics_->queueSocksAnswers({probe});
        store_.setText(prefkey::connectionMode, "socks");
        store_.setBoolean(prefkey::preferHttp2, c.http2);
        makeController({}, [&](ControllerEnvironment& environment) {
            environment.makeEngine = [&](int port) {
                engine_ = std::make_shared<testing::FakeEngine>(port);
                engine_->failHttp2 = c.failHttp2;
                return engine_;
            };
        });
        watch();
        controller_->connect();
        ASSERT_TRUE(ends());
        const auto& s = controller_->state();
        EXPECT_EQ(Shown(s.phase, s.detail), c.end);
        EXPECT_EQ(engine_->startsSeen(), c.starts);
        EXPECT_TRUE(inOrder(detailsSeen(), c.details)) << ::testing::PrintToString(detailsSeen());
        const bool switched = !c.http2 && s.phase == WarpPhase::connected && c.starts.back();
        EXPECT_EQ(s.http2, switched || c.http2);
        EXPECT_EQ(store_.boolean(prefkey::preferHttp2), switched || c.http2);
        if (switched) {
            EXPECT_EQ(s.http2Tip,
                      "Enabled HTTP/2 automatically (common when corporate WARP blocks QUIC)");
        }
        if (s.phase == WarpPhase::error) {
            EXPECT_FALSE(engine_->running);
            // The tip suggests HTTP/2 for WARP and probe trouble, and only while it is off.
            const bool tip = !c.http2 && c.end.second == notViaWarp;
            EXPECT_EQ(s.http2Tip.empty(), !tip);
        }
    }
}

TEST_F(StartTunnelTest, AFailedSettingsWriteStillConnectsAndIsPutRightOnDisconnect) {
    desktop_->failWrites = true;
    connectIn("global_tun");
    ASSERT_TRUE(ends());
    const auto& s = controller_->state();
    EXPECT_EQ(s.phase, WarpPhase::connected);
    EXPECT_THAT(s.proxyWriteFailedNote, ::testing::StartsWith("System proxy write failed: "));
    EXPECT_EQ(s.globalCoverageNote, s.proxyWriteFailedNote);
    EXPECT_TRUE(listening(httpPort_)) << "the relay serves whoever is pointed at it by hand";
    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    expectNothingLeft();
}

TEST_F(StartTunnelTest, ARelayThatCannotBindFailsTheConnectAfterOneRetryOnHttp2) {
    asio::io_context io;
    asio::ip::tcp::acceptor taken(
        io, {asio::ip::address_v4::loopback(), static_cast<unsigned short>(httpPort_)});
    connectIn("global_tun");
    ASSERT_TRUE(ends());
    EXPECT_EQ(controller_->state().phase, WarpPhase::error);
    EXPECT_EQ(engine_->startsSeen(), (std::vector<bool>{false, true}));
    EXPECT_FALSE(engine_->running);
    EXPECT_EQ(desktop_->current(), "user's own");
}

TEST_F(StartTunnelTest, ACancelAtAnyStepStopsEverythingAndRestoresTheSettings) {
    enum class Step { engineStart, probe, settingsWrite };
    for (Step step : {Step::engineStart, Step::probe, Step::settingsWrite}) {
        SCOPED_TRACE(static_cast<int>(step));
        seen_.clear();
        desktop_->writes = 0;
        auto cancelFromThePool = [this] {
            runtime_.post([this] { controller_->cancelConnect(); });
            std::this_thread::sleep_for(50ms);  // the cancel lands while this step still runs
        };
        diagnostics_ = std::make_shared<testing::FakeDiagnostics>();
        if (step == Step::probe) diagnostics_->onSocksProbe = cancelFromThePool;
        desktop_->onWrite = step == Step::settingsWrite ? std::function<void()>(cancelFromThePool)
                                                        : std::function<void()>();
        store_.setText(prefkey::connectionMode, "global_tun");
        makeController({}, [&](ControllerEnvironment& environment) {
            environment.makeEngine = [&](int port) {
                engine_ = std::make_shared<testing::FakeEngine>(port);
                engine_->holdStarts = step == Step::engineStart;
                return engine_;
            };
        });
        controller_->connect();
        if (step == Step::engineStart) {
            ASSERT_TRUE(settles(
                [&] { return controller_->state().detail == "Starting usque SOCKS (QUIC)…"; }));
            controller_->cancelConnect();
        }
        ASSERT_TRUE(settles([&] { return controller_->state().detail == "Cancelled"; }));
        testing::runFor(runtime_, 100ms);  // the attempt's own unwinding, if still running
        EXPECT_EQ(controller_->state().phase, WarpPhase::disconnected);
        EXPECT_LE(engine_->startsSeen().size(), 1u) << "no retry after a cancel";
        expectNothingLeft();
        desktop_->onWrite = {};
    }
}

TEST_F(StartTunnelTest, AProxyRunLeavesTheUsersOwnSettingsAndTheMachinesTunnelAlone) {
    // The user's own SOCKS proxy points at our port (as the window suggests for local SOCKS), and
    // nimbrad carries the tunnel the window started. Only a snapshot this run took may be put
    // back, and only a real TUN run may stop nimbrad.
    enum class End { failedConnect, cancel, quit, disconnectWithoutSnapshot };
    testing::FakeDaemon windowsTunnel((dir_ / "nimbra.sock").string());
    std::ofstream(dir_ / "not-a-folder");
    for (const char* mode : {"socks", "global_tun"}) {
        for (End end :
             {End::failedConnect, End::cancel, End::quit, End::disconnectWithoutSnapshot}) {
            SCOPED_TRACE(std::string(mode) + " ending " + std::to_string(static_cast<int>(end)));
            desktop_->setUsersOwn("manual");
            store_.setText(prefkey::connectionMode, mode);
            makeController({}, [&](ControllerEnvironment& environment) {
                environment.makeEngine = [&](int port) {
                    engine_ = std::make_shared<testing::FakeEngine>(port);
                    engine_->holdStarts = end == End::cancel || end == End::quit;
                    engine_->failQuic = engine_->failHttp2 = end == End::failedConnect;
                    return engine_;
                };
                // A journal that cannot be saved: the write is tried, but no snapshot is taken.
                environment.makeSystemProxy = [this](const LocalEndpoints& ours) {
                    return std::make_shared<SystemProxy>(
                        desktop_, ours, ProxyJournal(dir_ / "not-a-folder" / "journal.json"));
                };
            });
            controller_->connect();
            if (end == End::cancel || end == End::quit) {
                ASSERT_TRUE(settles(
                    [&] { return controller_->state().detail == "Starting usque SOCKS (QUIC)…"; }));
            }
            if (end == End::cancel) controller_->cancelConnect();
            if (end == End::disconnectWithoutSnapshot) {
                ASSERT_TRUE(becomes(WarpPhase::connected));
                controller_->disconnect();
            }
            if (end != End::quit) {
                ASSERT_TRUE(ends());
            }
            retireController();  // the quit
            EXPECT_EQ(desktop_->current(), "manual");
            const auto sent = windowsTunnel.requests();
            EXPECT_EQ(std::count(sent.begin(), sent.end(), "{\"cmd\":\"stop\"}\n"), 0);
        }
    }
}

}  // namespace
}  // namespace nimbra
