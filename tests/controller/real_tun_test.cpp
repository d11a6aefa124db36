// Real TUN mode under the controller, against a fake nimbrad on a real Unix socket: the order of
// the start (install text before the prompt, DNS, start, readiness, probe, gateway), the HTTP/2
// retry of a daemon that did not come up, the failures that still connect, the cancel that must
// have the last word with the daemon, the settings nimbrad applies live, the mirror of its
// status, and healing and gateway switching through it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>

#include "controller/controller_fixture.hpp"
#include "controller/daemon_status_mirror.hpp"
#include "daemon/daemon_error.hpp"
#include "model/preference_keys.hpp"
#include "support/fake_daemon.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::FakeDaemon;
using testing::FakeReply;
using testing::inOrder;
using testing::listening;
using testing::probeAt;
using testing::Shown;

constexpr const char* kReadyStatus =
    R"({"ok":true,"status":{"ok":true,"tunnel_on":true,"connected":true,"tun_iface":"nimbra0",)"
    R"("dns_mode":"adguard","dns_running":true,"excludes":["10.0.0.0/8"]}})";
// Started but never connected: the readiness wait goes on polling.
constexpr const char* kComingUp = R"({"ok":true,"status":{"tunnel_on":true,"connected":false}})";

// A status as nimbrad sends it.
DaemonClient::Status statusFrom(const std::string& json) {
    return DaemonClient::decodeReply(R"({"ok":true,"status":)" + json + "}").status.value();
}

std::string commandOf(const std::string& request) {
    return nlohmann::json::parse(request, nullptr, false).value("cmd", "");
}

class RealTunTest : public testing::ControllerFixture {
protected:
    RealTunTest() {
        store_.setInteger(prefkey::socksPort, socksPort_);
        store_.setText(prefkey::connectionMode, rawValue(ConnectionMode::realTun));
        store_.setText(prefkey::daemonDNSMode, "adguard");
        diagnostics_->directAnswer = probeAt("US");
    }

    // nimbrad answering on its socket, ready at the first status poll.
    void startDaemon() {
        {
            std::lock_guard lock(mutex_);
            daemon_.reset();  // its socket goes with it
        }
        auto daemon = std::make_shared<FakeDaemon>(socketPath());
        daemon->script("status", FakeReply::line(kReadyStatus));
        std::lock_guard lock(mutex_);
        daemon_ = std::move(daemon);
    }
    std::shared_ptr<FakeDaemon> daemon() {
        std::lock_guard lock(mutex_);
        return daemon_;
    }
    std::string socketPath() const { return (daemonDir_ / "nimbra.sock").string(); }

    // The commands the daemon received, in order ("ping", "start", ...).
    std::vector<std::string> commands() {
        std::vector<std::string> names;
        if (auto d = daemon()) {
            for (const auto& request : d->requests()) names.push_back(commandOf(request));
        }
        return names;
    }
    std::vector<std::string> requestsFor(const std::string& cmd) {
        std::vector<std::string> found;
        for (const auto& request : daemon()->requests()) {
            if (commandOf(request) == cmd) found.push_back(request);
        }
        return found;
    }
    long countOf(const std::string& cmd) {
        const auto names = commands();
        return std::count(names.begin(), names.end(), cmd);
    }
    std::vector<bool> syncs() {
        std::lock_guard lock(mutex_);
        return syncs_;
    }
    void clearSyncs() {
        std::lock_guard lock(mutex_);
        syncs_.clear();
    }

    void makeRealTunController(bool http2 = false,
                               std::function<void(ControllerEnvironment&)> adjust = {}) {
        store_.setBoolean(prefkey::preferHttp2, http2);
        makeController({}, [this, adjust](ControllerEnvironment& environment) {
            environment.timings.daemonReadiness = readiness_;
            environment.timings.daemonReadyPoll = 5ms;
            environment.timings.daemonStatusPoll = 20ms;
            environment.timings.gatewaySwitchSettle = 1ms;
            DaemonService::Steps steps{
                .syncPreferences =
                    [this](bool h2) {
                        {
                            std::lock_guard lock(mutex_);
                            syncs_.push_back(h2);
                        }
                        if (holdSyncs_) released_.wait_for(20s);
                    },
                .ensureInstalled = [this] { install(); },
            };
            environment.daemon = std::make_shared<DaemonService>(
                socketPath(), AppPreferences(store_), std::move(steps), runtime_.blockingPool());
            if (adjust) adjust(environment);
        });
        watch();
    }
    void connectRealTun(bool http2 = false) {
        makeRealTunController(http2);
        controller_->connect();
    }

    // Like the real installer: nothing to do when the daemon answers, else the "prompt" (a
    // scripted failure, or the test holding it) and the daemon comes up.
    void install() {
        ++installs_;
        std::exception_ptr failure;
        {
            std::lock_guard lock(mutex_);
            if (!installFailures_.empty()) {
                failure = installFailures_.front();
                installFailures_.erase(installFailures_.begin());
            }
        }
        if (failure) std::rethrow_exception(failure);
        if (daemon()) return;
        if (holdPrompt_)
            promptReleased_ = prompt_.get_future().wait_for(20s) == std::future_status::ready;
        startDaemon();
    }
    void failInstalls(std::vector<DaemonError> errors) {
        std::lock_guard lock(mutex_);
        for (auto& error : errors) installFailures_.push_back(std::make_exception_ptr(error));
    }

    const int socksPort_ = testing::freeLoopbackPort();
    std::chrono::milliseconds readiness_ = 5s;
    std::atomic<int> installs_{0};
    bool holdPrompt_ = false;
    std::promise<void> prompt_;
    std::atomic<bool> promptReleased_{false};
    // What the test holds (daemon configuration writes while holdSyncs_, probes, replies) waits
    // for this.
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
    std::atomic<bool> holdSyncs_{false};

private:
    testing::TempDir daemonDir_;
    std::mutex mutex_;
    std::shared_ptr<FakeDaemon> daemon_;               // guarded by mutex_
    std::vector<bool> syncs_;                          // guarded by mutex_
    std::vector<std::exception_ptr> installFailures_;  // guarded by mutex_
};

// A daemon already answering is used as it is: tests/e2e/tun_connect_e2e_test.cpp.
TEST_F(RealTunTest, FirstUseShowsTheInstallTextBeforeThePromptThenConnectsAndStopsOnQuit) {
    holdPrompt_ = true;
    connectRealTun();
    // The prompt waits until the user has been told why it will appear.
    ASSERT_TRUE(settles([&] {
        return controller_->state().detail == "Installing nimbrad daemon (admin password once)…";
    }));
    EXPECT_EQ(controller_->state().daemonReachable, false);
    prompt_.set_value();
    ASSERT_TRUE(ends());
    EXPECT_EQ(controller_->state().phase, WarpPhase::connected) << controller_->state().detail;
    EXPECT_TRUE(promptReleased_);
    EXPECT_TRUE(inOrder(detailsSeen(), {"Checking usque config…",
                                        "Installing nimbrad daemon (admin password once)…",
                                        "Verifying real TUN (no proxy env)…"}));
    EXPECT_EQ(installs_, 1);
    EXPECT_EQ(syncs(), std::vector<bool>{false});
    EXPECT_TRUE(inOrder(commands(), {"dns", "start", "status", "status"}));
    const ControllerSnapshot& s = controller_->state();
    EXPECT_EQ(s.globalCoverageNote,
              "Real TUN · adguard DNS · Tailscale/LAN excluded · DNS switchable live · "
              "compat SOCKS :" +
                  std::to_string(socksPort_) + " (via TUN)");
    EXPECT_EQ(s.exitWarp, "on");
    EXPECT_TRUE(listening(socksPort_));
    // The poller mirrors the daemon's state, and the throughput is measured on its TUN.
    EXPECT_TRUE(settles([&] { return controller_->state().tunIface == "nimbra0"; }));
    EXPECT_EQ(controller_->state().daemonReachable, true);
    EXPECT_EQ(controller_->trafficMonitor().targetInterface(), "nimbra0");
    EXPECT_THAT(controller_->state().daemonExcludes, ElementsAre("10.0.0.0/8"));
    // Polls that bring nothing new publish nothing.
    testing::runFor(runtime_, 20ms);
    const std::size_t published = seen_.size();
    const long polls = countOf("status");
    ASSERT_TRUE(settles([&] { return countOf("status") >= polls + 3; }));
    testing::runFor(runtime_, 20ms);
    EXPECT_EQ(seen_.size(), published);

    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    EXPECT_EQ(countOf("stop"), 1);
    EXPECT_FALSE(listening(socksPort_));
    EXPECT_EQ(controller_->state().tunIface, "");
    retireController();
    EXPECT_EQ(countOf("stop"), 2);  // quitting in real TUN mode stops it too
}

TEST_F(RealTunTest, ADaemonThatDoesNotComeUpOnQuicIsStoppedAndTriedOnceOnHttp2) {
    struct Case {
        const char* name;
        bool http2;
        std::vector<DaemonError> installs;  // failures of the install, in order
        const char* startReply;
        Shown end;
        int installsTried;
        std::vector<bool> syncs;
        const char* exitWarp = "on";  // what the direct probe finds
    };
    const DaemonError canceled(DaemonError::InstallCanceled{});
    // clang-format off
    const std::vector<Case> cases{
        {"prompt cancelled on QUIC", false, {canceled}, R"({"ok":true})",
         {WarpPhase::connected, "Connected · US/SJC · WARP on"}, 2, {false, true, true}},
        {"start refused on both transports", false, {}, R"({"ok":false,"msg":"no usque"})",
         {WarpPhase::error, "nimbrad command failed: no usque"}, 2, {false, true, true}},
        {"prompt cancelled on HTTP/2", true, {canceled}, R"({"ok":true})",
         {WarpPhase::error, "Admin authorization canceled — real TUN needs nimbrad daemon"}, 1,
         {true}},
        // Not through WARP is no transport trouble: stopped, never retried.
        {"direct probe not via WARP", false, {}, R"({"ok":true})",
         {WarpPhase::error, "TUN up but direct probe not via WARP (loc=US warp=off "
                            "ip=104.28.0.1). Go/OAuth may still fail."}, 1, {false}, "off"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        seen_.clear();
        installs_ = 0;
        startDaemon();
        daemon()->script("start", FakeReply::line(c.startReply));
        failInstalls(c.installs);
        diagnostics_->directAnswer = probeAt("US", c.exitWarp);
        makeRealTunController(c.http2);
        controller_->connect();
        ASSERT_TRUE(ends());
        EXPECT_EQ(phasesSeen().back(), c.end);
        EXPECT_EQ(installs_, c.installsTried);
        EXPECT_EQ(syncs(), c.syncs);
        const bool retried = c.syncs.size() > 1;
        EXPECT_EQ(inOrder(detailsSeen(),
                          {"QUIC/probe failed — retrying with HTTP/2…", "Checking usque config…"}),
                  retried);
        // The failed daemon is stopped before the retry, and HTTP/2 stays the user's choice.
        if (retried) {
            EXPECT_TRUE(inOrder(commands(), {"stop", "ping"}));
            EXPECT_TRUE(store_.boolean(prefkey::preferHttp2).value_or(false));
        }
        if (c.end.first == WarpPhase::error) {
            EXPECT_EQ(commands().back(), "stop");
            EXPECT_FALSE(listening(socksPort_));
        }
        retireController();
        clearSyncs();
    }
}

TEST_F(RealTunTest, ACancelDuringTheReadinessWaitEndsItAndItsStopIsTheLastWord) {
    startDaemon();
    daemon()->script("status", FakeReply::line(kComingUp));
    readiness_ = 10min;  // only the cancel can end the wait
    connectRealTun();
    ASSERT_TRUE(settles([&] { return countOf("status") >= 3; }));
    controller_->cancelConnect();
    ASSERT_TRUE(settles([&] {
        return controller_->state().phase == WarpPhase::disconnected &&
               controller_->state().detail == "Cancelled";
    }));
    const auto atCancel = commands();
    testing::runFor(runtime_, 100ms);  // the wait polls every 5 ms: it would have shown by now
    EXPECT_EQ(commands(), atCancel);
    EXPECT_EQ(atCancel.back(), "stop");
    EXPECT_FALSE(listening(socksPort_));
}

TEST_F(RealTunTest, AnswersThatComeBackAfterADisconnectWriteNothing) {
    startDaemon();
    makeRealTunController(false, [](ControllerEnvironment& environment) {
        environment.timings.daemonStatusPoll = 1h;  // no poll between the reads counted below
    });
    controller_->connect();
    ASSERT_TRUE(ends());
    // The start's readiness wait and check, the poller's first read, the read after connecting.
    ASSERT_TRUE(settles([&] { return countOf("status") == 5; }));

    // An exit probe, a status read and a DNS switch are out; each answers only when released.
    diagnostics_->onDirectProbe = [released = released_] { released.wait_for(20s); };
    daemon()->script("status", FakeReply::line(kReadyStatus).heldUntil(released_));
    holdSyncs_ = true;
    controller_->refreshExit();
    controller_->refreshDaemonStatus();
    controller_->applyDaemonDNSLive();
    ASSERT_TRUE(settles([&] {
        return countOf("status") == 6 && syncs().size() == 2 && diagnostics_->directProbes == 2;
    }));
    // The held read keeps the fake nimbrad busy: the disconnect's "stop" must not queue behind it.
    std::filesystem::remove(socketPath());
    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    release_.set_value();
    ASSERT_TRUE(settles([&] { return !controller_->state().exitProbing; }));
    testing::runFor(runtime_, 100ms);  // the status and the DNS answer would have landed by now
    const ControllerSnapshot& s = controller_->state();
    EXPECT_EQ(Shown(s.phase, s.detail), Shown(WarpPhase::disconnected, "Disconnected"));
    EXPECT_EQ(s.tunIface, "");
    EXPECT_EQ(s.dnsWarning, "");
}

TEST_F(RealTunTest, TheDaemonsStatusIsMirroredFieldByField) {
    using Status = DaemonClient::Status;
    struct Case {
        const char* name;
        std::string warningBefore;
        Status status;
        std::string warningAfter;
    };
    const std::string dnsRefused = "nimbrad command failed: dns failed";
    const std::string excludeRefused = "nimbrad command failed: exclude failed";
    const std::vector<Case> cases{
        {"the daemon's DNS error wins even while it runs", "",
         statusFrom(R"({"dns_running":true,"dns_err":"doh: timeout"})"), "doh: timeout"},
        {"a running forwarder clears a DNS warning", dnsRefused,
         statusFrom(R"({"dns_running":true})"), ""},
        {"but not one about an exclusion", excludeRefused, statusFrom(R"({"dns_running":true})"),
         excludeRefused},
        {"DNS off settles it too", dnsRefused, statusFrom(R"({"dns_mode":"off"})"), ""},
        {"a stopped forwarder keeps it", dnsRefused, statusFrom(R"({"dns_running":false})"),
         dnsRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControllerSnapshot s;
        s.dnsWarning = c.warningBefore;
        mirrorDaemonStatus(s, c.status);
        EXPECT_EQ(s.dnsWarning, c.warningAfter);
    }

    ControllerSnapshot s;
    const Status full = statusFrom(
        R"({"dns_mode":"adguard","excludes":["example.com"],"china_source":"geoip-database 1"})");
    EXPECT_TRUE(mirrorDaemonStatus(s, full));
    EXPECT_EQ(s.dnsModeLive, "adguard");
    EXPECT_EQ(s.chinaSource, "geoip-database 1");
    EXPECT_FALSE(mirrorDaemonStatus(s, full));  // nothing new: nothing to publish
    EXPECT_TRUE(mirrorDaemonStatus(s, statusFrom("{}")));
    EXPECT_TRUE(s.daemonExcludes.empty());  // absent means none
}

TEST_F(RealTunTest, DnsExclusionsChinaDirectAndGatewayGoLiveInRealTunAndRefusalsStillConnect) {
    // NextDNS without a profile sends the mode alone.
    store_.setText(prefkey::daemonDNSMode, "nextdns");
    store_.setText(prefkey::daemonDNSProfile, "");
    startDaemon();
    daemon()->script("dns", FakeReply::line(R"({"ok":false,"msg":"upstream unreachable"})"));
    daemon()->script("exclude", std::vector{FakeReply::line(R"({"ok":true})"),
                                            FakeReply::line(R"({"ok":false})")});
    asio::io_context io;
    asio::ip::tcp::acceptor squatter(
        io, {asio::ip::address_v4::loopback(), static_cast<unsigned short>(socksPort_)});
    connectRealTun();
    ASSERT_TRUE(ends());
    const ControllerSnapshot& s = controller_->state();
    ASSERT_EQ(s.phase, WarpPhase::connected);
    EXPECT_THAT(requestsFor("dns"), ElementsAre("{\"cmd\":\"dns\",\"args\":[\"nextdns\"]}\n"));
    EXPECT_THAT(s.globalCoverageNote,
                ::testing::StartsWith("Real TUN · adguard DNS · Tailscale/LAN excluded"));
    EXPECT_THAT(s.globalCoverageNote, ::testing::HasSubstr(" · compat SOCKS not up ("));
    // The gateway's failure is the last warning shown; the refused DNS choice was shown before.
    EXPECT_FALSE(s.dnsWarning.empty());
    EXPECT_TRUE(std::ranges::any_of(seen_, [](const auto& snapshot) {
        return snapshot->dnsWarning == "nimbrad command failed: upstream unreachable";
    }));
    clearSyncs();

    controller_->setDnsDrafts(" prof ", " laptop ", "  9.9.9.9 ");
    controller_->setDnsModeOption(DaemonDNSModeOption::custom);  // connected: applied at once
    ASSERT_TRUE(settles([&] { return countOf("dns") == 2; }));
    EXPECT_EQ(requestsFor("dns").back(), "{\"cmd\":\"dns\",\"args\":[\"custom\",\"9.9.9.9\"]}\n");
    EXPECT_EQ(store_.text(prefkey::daemonDNSMode).value_or(""), "custom");
    EXPECT_EQ(store_.text(prefkey::daemonDNSDevice).value_or(""), "laptop");

    controller_->addDaemonExclude("   ");  // nothing to add
    controller_->addDaemonExclude(" 192.168.7.0/24 ");
    ASSERT_TRUE(settles([&] { return countOf("exclude") == 1; }));
    EXPECT_EQ(requestsFor("exclude").back(),
              "{\"cmd\":\"exclude\",\"args\":[\"192.168.7.0/24\"]}\n");
    controller_->addDaemonExclude("bad target");
    ASSERT_TRUE(settles([&] {
        return controller_->state().dnsWarning == "nimbrad command failed: exclude failed";
    }));
    controller_->removeDaemonExclude("10.0.0.0/8");
    ASSERT_TRUE(settles([&] { return countOf("include") == 1; }));
    EXPECT_EQ(requestsFor("include").back(), "{\"cmd\":\"include\",\"args\":[\"10.0.0.0/8\"]}\n");

    controller_->setChinaDirect(false);
    ASSERT_TRUE(settles([&] { return countOf("chinadirect") == 1; }));
    EXPECT_EQ(requestsFor("chinadirect").back(), "{\"cmd\":\"chinadirect\",\"args\":[\"off\"]}\n");
    EXPECT_FALSE(store_.boolean(prefkey::chinaDirect).value_or(true));
    // The configuration file followed the DNS switch, the added exclusion and China-direct, on
    // this run's transport; removing sends the entry alone.
    EXPECT_EQ(syncs(), (std::vector<bool>{false, false, false, false}));

    // A live gateway switch tells the daemon the prefix, then restarts it: no reconnect.
    controller_->setNat64Gateway(NAT64Gateway::usFremont);
    ASSERT_TRUE(settles([&] { return countOf("restart") == 1; }));
    ASSERT_TRUE(becomes(WarpPhase::connected));
    const auto prefix = std::string(rawValue(NAT64Gateway::usFremont));
    EXPECT_THAT(requestsFor("nat64"),
                ElementsAre("{\"cmd\":\"nat64\",\"args\":[\"" + prefix + "\"]}\n"));
    EXPECT_TRUE(inOrder(commands(), {"nat64", "restart"}));
    EXPECT_EQ(countOf("start"), 1);

    // Outside real TUN nothing is sent for DNS.
    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
    controller_->setConnectionMode(ConnectionMode::socks);
    EXPECT_EQ(store_.text(prefkey::connectionMode), "socks");
    controller_->applyDaemonDNSLive();
    testing::runFor(runtime_, 50ms);
    EXPECT_EQ(countOf("dns"), 2);
}

TEST_F(RealTunTest, AnUnhealthyTunIsRestartedByTheDaemonAndProbedAgain) {
    startDaemon();
    // The connect's probe passes, the next two checks fail, the heal's probe passes.
    diagnostics_->queueDirectAnswers({probeAt("US"), probeAt("US", "off"), probeAt("US", "off")});
    makeRealTunController(false, [](ControllerEnvironment& environment) {
        environment.timings.healthFirstCheck = 10ms;
        environment.timings.healthInterval = 10ms;
    });
    controller_->connect();
    // Back to connected only through the heal's own probe.
    ASSERT_TRUE(settles([&] {
        return inOrder(detailsSeen(),
                       {"Tunnel unhealthy — self-healing…", "Connected · US/SJC · WARP on"});
    }));
    EXPECT_EQ(controller_->state().phase, WarpPhase::connected);
    EXPECT_TRUE(inOrder(commands(), {"restart", "status"}));  // the wait for readiness
    EXPECT_EQ(countOf("start"), 1);

    controller_->disconnect();
    ASSERT_TRUE(becomes(WarpPhase::disconnected));
}

}  // namespace
}  // namespace nimbra
