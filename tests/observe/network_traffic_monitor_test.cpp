// The traffic monitor's counting rules, history, lifecycle and publication, driven tick by tick
// with a scripted counter source and a hand-moved clock; plus the real timer on a core runtime
// and the real interface counters on the loopback interface.

#include "observe/network_traffic_monitor.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include "base/async/core_runtime.hpp"
#include "base/unique_fd.hpp"
#include "observe/interface_byte_counters.hpp"
#include "support/run_until.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;

// What the scripted source reads, and what it was asked. Shared with the test because the
// monitor owns the source itself.
struct CounterScript {
    ByteCounts current;
    ByteCounts stepPerRead;  // added after every read, for the timer tests
    std::vector<std::optional<std::string>> asked;
};

class ScriptedCounters final : public ByteCounterSource {
public:
    explicit ScriptedCounters(std::shared_ptr<CounterScript> script) : script_(std::move(script)) {}

    ByteCounts sample(const std::optional<std::string>& interfaceName) override {
        script_->asked.push_back(interfaceName);
        const ByteCounts reading = script_->current;
        script_->current.rx += script_->stepPerRead.rx;
        script_->current.tx += script_->stepPerRead.tx;
        return reading;
    }

private:
    std::shared_ptr<CounterScript> script_;
};

// A monitor on a core runtime that is not driven, so nothing ticks but the test, and whose
// clock only moves when the test moves it.
class TrafficMonitorTest : public ::testing::Test {
protected:
    std::unique_ptr<NetworkTrafficMonitor> makeMonitor(std::chrono::milliseconds interval = 1s) {
        return std::make_unique<NetworkTrafficMonitor>(
            runtime_.executor(), std::make_unique<ScriptedCounters>(script_), interval,
            [this] { return now_; });
    }

    void read(std::int64_t rx, std::int64_t tx) { script_->current = ByteCounts{rx, tx}; }

    // Sets the counters, lets a second pass and ticks once.
    void tickWith(NetworkTrafficMonitor& monitor, std::int64_t rx, std::int64_t tx) {
        read(rx, tx);
        now_ += 1s;
        monitor.tick();
    }

    CoreRuntime runtime_{1};
    std::shared_ptr<CounterScript> script_ = std::make_shared<CounterScript>();
    system_clock::time_point now_ = system_clock::time_point(std::chrono::hours(480'000));
};

void expectZeroHistoryEndingAt(const std::vector<SpeedSample>& history,
                               system_clock::time_point now) {
    ASSERT_EQ(history.size(), NetworkTrafficMonitor::kMaxHistoryLength);
    std::set<std::string> ids;
    for (std::size_t i = 0; i < history.size(); ++i) {
        SCOPED_TRACE("sample " + std::to_string(i));
        EXPECT_EQ(history[i].downBytesPerSec, 0);
        EXPECT_EQ(history[i].upBytesPerSec, 0);
        EXPECT_EQ(history[i].timestamp, now - std::chrono::seconds(24 - i));
        EXPECT_EQ(history[i].id.size(), 36u);
        ids.insert(history[i].id);
    }
    EXPECT_EQ(ids.size(), history.size()) << "every sample has its own id";
}

// ---- counting rules -------------------------------------------------------------------------

TEST_F(TrafficMonitorTest, FirstTickReportsDeltasAgainstTheReadingAtStart) {
    auto monitor = makeMonitor();
    read(10'000, 2'000);
    monitor->start();
    EXPECT_TRUE(monitor->isMonitoring());
    EXPECT_EQ(script_->asked.size(), 1u) << "start reads the base once";

    tickWith(*monitor, 13'000, 2'300);
    const TrafficSnapshot& state = monitor->state();
    EXPECT_EQ(state.downSpeed, 3'000);
    EXPECT_EQ(state.upSpeed, 300);
    EXPECT_EQ(state.totalRxBytes, 3'000);
    EXPECT_EQ(state.totalTxBytes, 300);
    ASSERT_EQ(state.speedHistory.size(), 24u);
    EXPECT_EQ(state.speedHistory.back().downBytesPerSec, 3'000);
    EXPECT_EQ(state.speedHistory.back().upBytesPerSec, 300);
    EXPECT_EQ(state.speedHistory.back().timestamp, now_);

    tickWith(*monitor, 13'500, 2'300);
    EXPECT_EQ(monitor->state().downSpeed, 500);
    EXPECT_EQ(monitor->state().upSpeed, 0);
    EXPECT_EQ(monitor->state().totalRxBytes, 3'500);
    EXPECT_EQ(monitor->state().totalTxBytes, 300);
}

TEST_F(TrafficMonitorTest, ZeroReadingAtStartMakesTheFirstTickZero) {
    auto monitor = makeMonitor();
    read(0, 0);
    monitor->start();

    tickWith(*monitor, 5'000, 7'000);
    EXPECT_EQ(monitor->state().downSpeed, 0);
    EXPECT_EQ(monitor->state().upSpeed, 0);
    EXPECT_EQ(monitor->state().totalRxBytes, 0);

    tickWith(*monitor, 6'000, 7'500);
    EXPECT_EQ(monitor->state().downSpeed, 1'000);
    EXPECT_EQ(monitor->state().upSpeed, 500);
    EXPECT_EQ(monitor->state().totalRxBytes, 1'000);
    EXPECT_EQ(monitor->state().totalTxBytes, 500);
}

TEST_F(TrafficMonitorTest, CounterWrapGivesOneZeroSampleThenNormalValues) {
    constexpr std::int64_t kNearWrap = 4'294'967'000;  // a 32-bit counter 296 bytes from 2^32
    auto monitor = makeMonitor();
    read(kNearWrap, 100);
    monitor->start();

    tickWith(*monitor, kNearWrap + 200, 200);
    EXPECT_EQ(monitor->state().downSpeed, 200);

    tickWith(*monitor, 50, 300);  // rx wrapped, tx did not
    EXPECT_EQ(monitor->state().downSpeed, 0) << "a counter that went backwards is a zero sample";
    EXPECT_EQ(monitor->state().upSpeed, 100) << "the other direction is unaffected";

    tickWith(*monitor, 1'050, 400);
    EXPECT_EQ(monitor->state().downSpeed, 1'000);
    EXPECT_EQ(monitor->state().upSpeed, 100);
    EXPECT_EQ(monitor->state().totalRxBytes, 1'200);
    EXPECT_EQ(monitor->state().totalTxBytes, 300);

    const auto& history = monitor->state().speedHistory;
    EXPECT_EQ(history[21].downBytesPerSec, 200);
    EXPECT_EQ(history[22].downBytesPerSec, 0);
    EXPECT_EQ(history[23].downBytesPerSec, 1'000);
}

TEST_F(TrafficMonitorTest, NoTargetAndNothingToCountKeepsSpeedsZero) {
    auto monitor = makeMonitor();
    monitor->start(std::nullopt);
    for (int i = 0; i < 5; ++i) tickWith(*monitor, 0, 0);
    EXPECT_EQ(monitor->state().downSpeed, 0);
    EXPECT_EQ(monitor->state().upSpeed, 0);
    EXPECT_EQ(monitor->state().totalRxBytes, 0);
    EXPECT_EQ(monitor->state().totalTxBytes, 0);
    for (const auto& name : script_->asked) EXPECT_FALSE(name.has_value());
}

TEST_F(TrafficMonitorTest, EmptyNameMeansNoTarget) {
    auto monitor = makeMonitor();
    monitor->start(std::string());
    EXPECT_FALSE(monitor->targetInterface().has_value());
    monitor->tick();
    ASSERT_EQ(script_->asked.size(), 2u);
    EXPECT_FALSE(script_->asked[0].has_value());
    EXPECT_FALSE(script_->asked[1].has_value());
}

TEST_F(TrafficMonitorTest, UptimeIsWholeSecondsSinceStartAndNeverNegative) {
    auto monitor = makeMonitor();
    monitor->start();
    now_ += 2'900ms;
    monitor->tick();
    EXPECT_EQ(monitor->state().uptimeSeconds, 2) << "the fraction is dropped";
    now_ += 3'661s;
    monitor->tick();
    EXPECT_EQ(monitor->state().uptimeSeconds, 3'663);
    now_ -= 10'000s;  // the wall clock was set back
    monitor->tick();
    EXPECT_EQ(monitor->state().uptimeSeconds, 0);
}

// ---- history --------------------------------------------------------------------------------

TEST_F(TrafficMonitorTest, FreshHistoryIsTwentyFourBackDatedZeroSamples) {
    auto monitor = makeMonitor();
    expectZeroHistoryEndingAt(monitor->state().speedHistory, now_);
    EXPECT_FALSE(monitor->isMonitoring());
}

TEST_F(TrafficMonitorTest, HistoryKeepsTheLastTwentyFourSamplesNewestLast) {
    auto monitor = makeMonitor();
    read(1, 1);
    monitor->start();
    std::int64_t rx = 1;
    for (int i = 1; i <= 30; ++i) {
        rx += 100 * i;
        tickWith(*monitor, rx, 1 + i);
    }
    const auto& history = monitor->state().speedHistory;
    ASSERT_EQ(history.size(), 24u);
    for (std::size_t k = 0; k < history.size(); ++k) {
        const int tickNumber = 7 + static_cast<int>(k);  // ticks 7..30 survive
        EXPECT_EQ(history[k].downBytesPerSec, 100 * tickNumber) << "position " << k;
        EXPECT_EQ(history[k].upBytesPerSec, 1);
        if (k > 0) {
            EXPECT_EQ(history[k].timestamp - history[k - 1].timestamp, 1s);
        }
    }
    EXPECT_EQ(history.back().timestamp, now_);
    EXPECT_EQ(monitor->state().totalRxBytes, rx - 1);
}

// ---- lifecycle ------------------------------------------------------------------------------

TEST_F(TrafficMonitorTest, StopKeepsTotalsUptimeAndHistoryButZeroesSpeeds) {
    auto monitor = makeMonitor();
    read(1'000, 1'000);
    monitor->start();
    now_ += 4s;
    tickWith(*monitor, 3'000, 1'500);  // 5 s after start
    const auto historyBefore = monitor->state().speedHistory;

    monitor->stop();
    const TrafficSnapshot& state = monitor->state();
    EXPECT_FALSE(state.isMonitoring);
    EXPECT_EQ(state.downSpeed, 0);
    EXPECT_EQ(state.upSpeed, 0);
    EXPECT_EQ(state.totalRxBytes, 2'000);
    EXPECT_EQ(state.totalTxBytes, 500);
    EXPECT_EQ(state.uptimeSeconds, 5);
    EXPECT_EQ(state.speedHistory, historyBefore);
    EXPECT_FALSE(monitor->targetInterface().has_value());

    const auto reads = script_->asked.size();
    tickWith(*monitor, 9'000, 9'000);
    EXPECT_EQ(script_->asked.size(), reads) << "a stopped monitor does not read";
    EXPECT_EQ(monitor->state().totalRxBytes, 2'000);
}

TEST_F(TrafficMonitorTest, ResetZeroesTotalsAndUptimeAndRestoresZeroHistory) {
    auto monitor = makeMonitor();
    read(1'000, 1'000);
    monitor->start("tun0");
    now_ += 2s;
    tickWith(*monitor, 4'000, 2'000);
    ASSERT_GT(monitor->state().totalRxBytes, 0);

    now_ += 90s;
    monitor->reset();
    const TrafficSnapshot& state = monitor->state();
    EXPECT_FALSE(state.isMonitoring);
    EXPECT_EQ(state.downSpeed, 0);
    EXPECT_EQ(state.upSpeed, 0);
    EXPECT_EQ(state.totalRxBytes, 0);
    EXPECT_EQ(state.totalTxBytes, 0);
    EXPECT_EQ(state.uptimeSeconds, 0);
    expectZeroHistoryEndingAt(state.speedHistory, now_);
}

TEST_F(TrafficMonitorTest, StartAfterStopRereadsTheBaseAndRestartsUptime) {
    auto monitor = makeMonitor();
    read(1'000, 1'000);
    monitor->start();
    now_ += 7s;
    tickWith(*monitor, 2'000, 2'000);
    EXPECT_EQ(monitor->state().uptimeSeconds, 8);
    monitor->stop();

    read(50'000, 60'000);  // much has passed while stopped; it is not counted
    monitor->start();
    EXPECT_EQ(monitor->state().uptimeSeconds, 0);
    tickWith(*monitor, 50'100, 60'010);
    EXPECT_EQ(monitor->state().downSpeed, 100);
    EXPECT_EQ(monitor->state().upSpeed, 10);
    EXPECT_EQ(monitor->state().totalRxBytes, 1'100) << "totals run on until a reset";
    EXPECT_EQ(monitor->state().uptimeSeconds, 1);
}

TEST_F(TrafficMonitorTest, StartWhileMonitoringOnlyRetargetsWithANonEmptyName) {
    auto monitor = makeMonitor();
    read(1'000, 1'000);
    monitor->start();
    now_ += 3s;
    tickWith(*monitor, 1'500, 1'200);
    const auto readsBefore = script_->asked.size();

    monitor->start("tun7");
    EXPECT_TRUE(monitor->isMonitoring());
    EXPECT_EQ(monitor->targetInterface(), std::optional<std::string>("tun7"));
    EXPECT_EQ(script_->asked.size(), readsBefore) << "retargeting keeps the previous reading";
    EXPECT_EQ(monitor->state().downSpeed, 500) << "speeds are not reset";

    monitor->start(std::nullopt);
    monitor->start(std::string());
    EXPECT_EQ(monitor->targetInterface(), std::optional<std::string>("tun7"));

    // The new interface's counter is below the old reading: one zero sample, then normal.
    tickWith(*monitor, 300, 2'000);
    ASSERT_EQ(script_->asked.back(), std::optional<std::string>("tun7"));
    EXPECT_EQ(monitor->state().downSpeed, 0);
    EXPECT_EQ(monitor->state().upSpeed, 800);
    EXPECT_EQ(monitor->state().uptimeSeconds, 5) << "uptime counts from the first start";
    tickWith(*monitor, 700, 2'100);
    EXPECT_EQ(monitor->state().downSpeed, 400);
    EXPECT_EQ(monitor->state().totalRxBytes, 900);
}

// ---- publication ----------------------------------------------------------------------------

TEST_F(TrafficMonitorTest, PublishesOnlyWhenSomethingVisibleChanged) {
    auto monitor = makeMonitor();
    std::vector<TrafficSnapshotPtr> seen;
    const auto id = monitor->subscribe([](std::function<void()> work) { work(); },
                                       [&](TrafficSnapshotPtr snapshot) { seen.push_back(snapshot); });
    ASSERT_EQ(seen.size(), 1u) << "the current snapshot comes first";
    EXPECT_FALSE(seen.back()->isMonitoring);

    monitor->stop();  // already idle: nothing changes
    EXPECT_EQ(seen.size(), 1u);

    read(100, 100);
    monitor->start();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen.back()->isMonitoring);

    monitor->start("tun1");  // retargeting is not visible
    EXPECT_EQ(seen.size(), 2u);

    tickWith(*monitor, 400, 100);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen.back()->downSpeed, 300);
    EXPECT_EQ(*seen.back(), monitor->state());
    EXPECT_TRUE(seen[1]->totalRxBytes == 0) << "earlier snapshots are immutable copies";

    monitor->unsubscribe(id);
    tickWith(*monitor, 500, 100);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(TrafficMonitorTest, SnapshotsArriveOnTheSubscribersThread) {
    // The subscriber's own thread: an io_context run by a thread of its own.
    asio::io_context subscriberContext;
    auto guard = asio::make_work_guard(subscriberContext);
    std::thread subscriberThread([&] { subscriberContext.run(); });

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::thread::id, TrafficSnapshotPtr>> deliveries;
    bool markerSeen = false;

    auto monitor = makeMonitor();
    const auto id = monitor->subscribe(
        [&](std::function<void()> work) { asio::post(subscriberContext, std::move(work)); },
        [&](TrafficSnapshotPtr snapshot) {
            std::lock_guard lock(mutex);
            deliveries.emplace_back(std::this_thread::get_id(), std::move(snapshot));
            changed.notify_all();
        });
    read(1'000, 1'000);
    monitor->start();
    tickWith(*monitor, 1'250, 1'100);

    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return deliveries.size() >= 3; }));
        for (const auto& [thread, snapshot] : deliveries) {
            EXPECT_EQ(thread, subscriberThread.get_id());
        }
        EXPECT_FALSE(deliveries[0].second->isMonitoring);
        EXPECT_TRUE(deliveries[1].second->isMonitoring);
        EXPECT_EQ(deliveries[2].second->downSpeed, 250);
        EXPECT_EQ(deliveries[2].second->upSpeed, 100);
    }

    // After unsubscribing nothing more is posted: a marker posted after a tick arrives alone.
    monitor->unsubscribe(id);
    tickWith(*monitor, 2'000, 2'000);
    asio::post(subscriberContext, [&] {
        std::lock_guard lock(mutex);
        markerSeen = true;
        changed.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return markerSeen; }));
        EXPECT_EQ(deliveries.size(), 3u);
    }

    guard.reset();
    subscriberThread.join();
}

// ---- the timer ------------------------------------------------------------------------------

TEST(TrafficMonitorTimer, TicksOnTheCoreRuntimeUntilStopped) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    script->current = ByteCounts{1'000, 1'000};
    script->stepPerRead = ByteCounts{300, 20};
    NetworkTrafficMonitor monitor(runtime.executor(), std::make_unique<ScriptedCounters>(script),
                                  20ms);
    monitor.start();

    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil(runtime, [&] { return script->asked.size() >= 5; }, 3s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4 * 20ms - 5ms)
        << "four ticks take about four intervals";
    EXPECT_EQ(monitor.state().downSpeed, 300);
    EXPECT_EQ(monitor.state().upSpeed, 20);
    EXPECT_EQ(monitor.state().totalRxBytes, 4 * 300);
    EXPECT_EQ(monitor.state().speedHistory.back().downBytesPerSec, 300);

    monitor.stop();
    const auto reads = script->asked.size();
    runFor(runtime, 120ms);
    EXPECT_EQ(script->asked.size(), reads) << "no tick after stop";

    monitor.start();
    ASSERT_TRUE(runUntil(runtime, [&] { return script->asked.size() >= reads + 3; }, 3s))
        << "a restarted monitor ticks again";
}

TEST(TrafficMonitorTimer, ResetStopsTheTimer) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    NetworkTrafficMonitor monitor(runtime.executor(), std::make_unique<ScriptedCounters>(script),
                                  20ms);
    monitor.start();
    ASSERT_TRUE(runUntil(runtime, [&] { return script->asked.size() >= 2; }, 3s));
    monitor.reset();
    const auto reads = script->asked.size();
    runFor(runtime, 100ms);
    EXPECT_EQ(script->asked.size(), reads);
}

TEST(TrafficMonitorTimer, DestroyingTheMonitorEndsThePendingTick) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    auto monitor = std::make_unique<NetworkTrafficMonitor>(
        runtime.executor(), std::make_unique<ScriptedCounters>(script), 20ms);
    monitor->start();
    ASSERT_TRUE(runUntil(runtime, [&] { return script->asked.size() >= 2; }, 3s));
    const auto reads = script->asked.size();
    monitor.reset();  // a tick is pending on the core loop
    runFor(runtime, 100ms);
    EXPECT_EQ(script->asked.size(), reads);
}

// ---- real counters --------------------------------------------------------------------------

// Sends `datagrams` UDP datagrams of 1 KiB through the loopback interface.
void sendLoopbackTraffic(int datagrams) {
    UniqueFd receiver(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    UniqueFd sender(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(receiver.valid() && sender.valid());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(receiver.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::vector<char> payload(1024, 'x');
    for (int i = 0; i < datagrams; ++i) {
        ASSERT_EQ(::sendto(sender.get(), payload.data(), payload.size(), 0,
                           reinterpret_cast<sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(payload.size()));
    }
}

TEST(TrafficMonitorRealCounters, LoopbackTrafficShowsAsSpeed) {
    InterfaceByteCounters probe;
    sendLoopbackTraffic(4);  // a fresh namespace's lo may read 0, which would void the first tick
    const ByteCounts before = probe.sample("lo");
    if (before == ByteCounts{}) GTEST_SKIP() << "no link statistics for lo on this system";

    CoreRuntime runtime(1);
    NetworkTrafficMonitor monitor(runtime.executor(), std::make_unique<InterfaceByteCounters>(),
                                  1s);
    monitor.start("lo");
    sendLoopbackTraffic(64);
    monitor.tick();
    const ByteCounts after = probe.sample("lo");
    if (after.rx < before.rx || after.tx < before.tx) GTEST_SKIP() << "the lo counter wrapped";

    EXPECT_GE(monitor.state().downSpeed, 64 * 1024);
    EXPECT_GE(monitor.state().upSpeed, 64 * 1024);
    EXPECT_EQ(monitor.state().totalRxBytes, static_cast<std::int64_t>(monitor.state().downSpeed));
}

TEST(TrafficMonitorRealCounters, NoTargetWithoutTunnelInterfacesStaysZero) {
    if (struct if_nameindex* names = ::if_nameindex()) {
        bool tunnelPresent = false;
        for (auto* entry = names; entry->if_index != 0; ++entry) {
            if (std::strncmp(entry->if_name, "utun", 4) == 0) tunnelPresent = true;
        }
        ::if_freenameindex(names);
        if (tunnelPresent) GTEST_SKIP() << "this system has a utun interface";
    }
    CoreRuntime runtime(1);
    NetworkTrafficMonitor monitor(runtime.executor(), std::make_unique<InterfaceByteCounters>(),
                                  1s);
    monitor.start();
    sendLoopbackTraffic(16);  // traffic elsewhere is not tunnel traffic
    monitor.tick();
    EXPECT_EQ(monitor.state().downSpeed, 0);
    EXPECT_EQ(monitor.state().upSpeed, 0);
    EXPECT_EQ(monitor.state().totalRxBytes, 0);
}

}  // namespace
}  // namespace nimbra
