// The traffic monitor's counting rules, history, lifecycle and publication, driven tick by tick
// with a scripted counter source and a hand-moved clock; plus the real timer on a core runtime
// and the real interface counters on the loopback interface.

#include "observe/network_traffic_monitor.hpp"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "observe/interface_byte_counters.hpp"
#include "support/run_until.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;
using std::chrono::system_clock;

// What the scripted source reads and what it was asked, shared with the test (the monitor owns it).
struct CounterScript {
    ByteCounts current;
    ByteCounts stepPerRead;  // added after every read, for the timer tests
    std::vector<std::optional<std::string>> asked;
};

struct ScriptedCounters final : ByteCounterSource {
    explicit ScriptedCounters(std::shared_ptr<CounterScript> s) : script(std::move(s)) {}

    ByteCounts sample(const std::optional<std::string>& interfaceName) override {
        script->asked.push_back(interfaceName);
        const ByteCounts reading = script->current;
        script->current.rx += script->stepPerRead.rx;
        script->current.tx += script->stepPerRead.tx;
        return reading;
    }

    std::shared_ptr<CounterScript> script;
};

// Down and up speed, total rx and tx: what a tick leaves, compared in one go.
using Counts = std::tuple<double, double, std::int64_t, std::int64_t>;

Counts countsOf(const NetworkTrafficMonitor& monitor) {
    const TrafficSnapshot& state = monitor.state();
    return {state.downSpeed, state.upSpeed, state.totalRxBytes, state.totalTxBytes};
}

// A monitor on a core runtime that is not driven, so nothing ticks but the test, and whose
// clock only moves when the test moves it.
class TrafficMonitorTest : public ::testing::Test {
protected:
    void read(std::int64_t rx, std::int64_t tx) { script_->current = ByteCounts{rx, tx}; }

    // Sets the counters, lets a second pass and ticks once.
    void tickWith(std::int64_t rx, std::int64_t tx) {
        read(rx, tx);
        now_ += 1s;
        monitor_.tick();
    }

    Counts counts() const { return countsOf(monitor_); }

    CoreRuntime runtime_{1};
    std::shared_ptr<CounterScript> script_ = std::make_shared<CounterScript>();
    system_clock::time_point now_ = system_clock::time_point(std::chrono::hours(480'000));
    NetworkTrafficMonitor monitor_{runtime_.executor(), std::make_unique<ScriptedCounters>(script_),
                                   1s, [this] { return now_; }};
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

TEST_F(TrafficMonitorTest, FirstTickReportsDeltasAgainstTheReadingAtStart) {
    read(10'000, 2'000);
    monitor_.start();
    EXPECT_TRUE(monitor_.isMonitoring());
    EXPECT_EQ(script_->asked.size(), 1u) << "start reads the base once";

    tickWith(13'000, 2'300);
    EXPECT_EQ(counts(), Counts(3'000, 300, 3'000, 300));
    const auto& newest = monitor_.state().speedHistory.back();
    EXPECT_EQ(newest, (SpeedSample{newest.id, 3'000, 300, now_}));
    tickWith(13'500, 2'300);
    EXPECT_EQ(counts(), Counts(500, 0, 3'500, 300));
}

TEST_F(TrafficMonitorTest, AZeroStartReadingOrACounterWrapGivesOneZeroSampleThenNormalValues) {
    constexpr std::int64_t kNearWrap = 4'294'967'000;  // a 32-bit counter 296 bytes from 2^32
    read(0, 0);
    monitor_.start(std::string());
    EXPECT_FALSE(monitor_.targetInterface().has_value()) << "an empty name is no target";
    tickWith(kNearWrap, 100);
    EXPECT_EQ(counts(), Counts(0, 0, 0, 0)) << "a zero start reading voids the first tick";
    tickWith(kNearWrap + 200, 200);
    EXPECT_EQ(counts(), Counts(200, 100, 200, 100));
    tickWith(50, 300);  // rx wrapped, tx did not
    EXPECT_EQ(counts(), Counts(0, 100, 200, 200)) << "only the wrapped direction reads zero";
    tickWith(1'050, 400);
    EXPECT_EQ(counts(), Counts(1'000, 100, 1'200, 300));

    const auto& history = monitor_.state().speedHistory;
    EXPECT_EQ(history[21].downBytesPerSec, 200);
    EXPECT_EQ(history[22].downBytesPerSec, 0);
    EXPECT_EQ(history[23].downBytesPerSec, 1'000);
    for (const auto& name : script_->asked) EXPECT_FALSE(name.has_value());
}

TEST_F(TrafficMonitorTest, UptimeIsWholeSecondsSinceStartAndNeverNegative) {
    monitor_.start();
    now_ += 2'900ms;
    monitor_.tick();
    EXPECT_EQ(monitor_.state().uptimeSeconds, 2) << "the fraction is dropped";
    now_ += 3'661s;
    monitor_.tick();
    EXPECT_EQ(monitor_.state().uptimeSeconds, 3'663);
    now_ -= 10'000s;  // the wall clock was set back
    monitor_.tick();
    EXPECT_EQ(monitor_.state().uptimeSeconds, 0);
}

TEST_F(TrafficMonitorTest, HistoryKeepsTheLastTwentyFourSamplesNewestLast) {
    read(1, 1);
    monitor_.start();
    std::int64_t rx = 1;
    for (int i = 1; i <= 30; ++i) {
        rx += 100 * i;
        tickWith(rx, 1 + i);
    }
    const auto& history = monitor_.state().speedHistory;
    ASSERT_EQ(history.size(), 24u);
    for (std::size_t k = 0; k < history.size(); ++k) {
        const int tickNumber = 7 + static_cast<int>(k);  // ticks 7..30 survive
        EXPECT_EQ(history[k].downBytesPerSec, 100 * tickNumber) << "position " << k;
        EXPECT_EQ(history[k].upBytesPerSec, 1);
        EXPECT_EQ(history[k].timestamp, now_ - std::chrono::seconds(23 - k));
    }
    EXPECT_EQ(monitor_.state().totalRxBytes, rx - 1);
}

TEST_F(TrafficMonitorTest, StopZeroesSpeedsOnlyRestartRereadsTheBaseResetZeroesEverything) {
    expectZeroHistoryEndingAt(monitor_.state().speedHistory, now_);  // fresh
    read(1'000, 1'000);
    monitor_.start("tun0");
    now_ += 4s;
    tickWith(3'000, 1'500);  // 5 s after start
    const auto historyBefore = monitor_.state().speedHistory;
    monitor_.stop();
    EXPECT_FALSE(monitor_.state().isMonitoring);
    EXPECT_EQ(counts(), Counts(0, 0, 2'000, 500));
    EXPECT_EQ(monitor_.state().uptimeSeconds, 5);
    EXPECT_EQ(monitor_.state().speedHistory, historyBefore);
    EXPECT_FALSE(monitor_.targetInterface().has_value());
    const auto reads = script_->asked.size();
    tickWith(9'000, 9'000);
    EXPECT_EQ(script_->asked.size(), reads) << "a stopped monitor does not read";

    read(50'000, 60'000);  // much has passed while stopped; it is not counted
    monitor_.start();
    EXPECT_EQ(monitor_.state().uptimeSeconds, 0);
    tickWith(50'100, 60'010);
    EXPECT_EQ(counts(), Counts(100, 10, 2'100, 510)) << "totals run on until a reset";
    EXPECT_EQ(monitor_.state().uptimeSeconds, 1);

    now_ += 90s;
    monitor_.reset();
    EXPECT_EQ(counts(), Counts(0, 0, 0, 0));
    EXPECT_EQ(monitor_.state().uptimeSeconds, 0);
    expectZeroHistoryEndingAt(monitor_.state().speedHistory, now_);
}

TEST_F(TrafficMonitorTest, StartWhileMonitoringOnlyRetargetsWithANonEmptyName) {
    read(1'000, 1'000);
    monitor_.start();
    now_ += 3s;
    tickWith(1'500, 1'200);
    const auto readsBefore = script_->asked.size();

    monitor_.start("tun7");
    EXPECT_TRUE(monitor_.isMonitoring());
    EXPECT_EQ(script_->asked.size(), readsBefore) << "retargeting keeps the previous reading";
    EXPECT_EQ(monitor_.state().downSpeed, 500) << "speeds are not reset";
    monitor_.start(std::nullopt);
    monitor_.start(std::string());
    EXPECT_EQ(monitor_.targetInterface(), std::optional<std::string>("tun7"));

    // The new interface's counter is below the old reading: one zero sample, then normal.
    tickWith(300, 2'000);
    ASSERT_EQ(script_->asked.back(), std::optional<std::string>("tun7"));
    EXPECT_EQ(counts(), Counts(0, 800, 500, 1'000));
    EXPECT_EQ(monitor_.state().uptimeSeconds, 5) << "uptime counts from the first start";
    tickWith(700, 2'100);
    EXPECT_EQ(counts(), Counts(400, 100, 900, 1'100));
}

TEST_F(TrafficMonitorTest, PublishesVisibleChangesOnTheSubscribersThreadUntilUnsubscribed) {
    asio::io_context subscriberContext;
    auto guard = asio::make_work_guard(subscriberContext);
    std::thread subscriberThread([&] { subscriberContext.run(); });
    std::mutex mutex;
    std::vector<std::pair<std::thread::id, TrafficSnapshotPtr>> seen;
    // What has arrived once everything posted so far has run.
    const auto delivered = [&] {
        std::promise<void> marker;
        asio::post(subscriberContext, [&] { marker.set_value(); });
        EXPECT_EQ(marker.get_future().wait_for(5s), std::future_status::ready);
        std::lock_guard lock(mutex);
        return seen;
    };

    const auto id = monitor_.subscribe(
        [&](std::function<void()> work) { asio::post(subscriberContext, std::move(work)); },
        [&](TrafficSnapshotPtr snapshot) {
            std::lock_guard lock(mutex);
            seen.emplace_back(std::this_thread::get_id(), std::move(snapshot));
        });
    monitor_.stop();  // already idle: nothing visible changes
    read(100, 100);
    monitor_.start();
    monitor_.start("tun1");  // retargeting is not visible either
    tickWith(400, 100);

    const auto snapshots = delivered();
    ASSERT_EQ(snapshots.size(), 3u) << "the current snapshot, then one per visible change";
    for (const auto& [thread, snapshot] : snapshots) EXPECT_EQ(thread, subscriberThread.get_id());
    EXPECT_FALSE(snapshots[0].second->isMonitoring);
    EXPECT_TRUE(snapshots[1].second->isMonitoring);
    EXPECT_EQ(snapshots[1].second->totalRxBytes, 0) << "earlier snapshots are immutable copies";
    EXPECT_EQ(*snapshots[2].second, monitor_.state());
    EXPECT_EQ(snapshots[2].second->downSpeed, 300);

    monitor_.unsubscribe(id);
    tickWith(2'000, 2'000);
    EXPECT_EQ(delivered().size(), 3u);
    guard.reset();
    subscriberThread.join();
}

TEST(TrafficMonitorTimer, TicksOnTheCoreRuntimeUntilStoppedResetOrDestroyed) {
    CoreRuntime runtime(1);
    auto script = std::make_shared<CounterScript>();
    script->current = ByteCounts{1'000, 1'000};
    script->stepPerRead = ByteCounts{300, 20};
    auto monitor = std::make_unique<NetworkTrafficMonitor>(
        runtime.executor(), std::make_unique<ScriptedCounters>(script), 20ms);
    monitor->start();

    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil(
        runtime, [&] { return script->asked.size() >= 5; }, 3s));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 4 * 20ms - 5ms)
        << "four ticks take about four intervals";
    EXPECT_EQ(countsOf(*monitor), Counts(300, 20, 4 * 300, 4 * 20));

    for (const std::string how : {"stop", "reset", "destruction"}) {
        if (how == "stop") monitor->stop();
        if (how == "reset") monitor->reset();
        if (how == "destruction") monitor.reset();  // a tick is pending on the core loop
        const auto reads = script->asked.size();
        runFor(runtime, 100ms);
        EXPECT_EQ(script->asked.size(), reads) << "ticked after " << how;
        if (!monitor) break;
        monitor->start();
        ASSERT_TRUE(runUntil(
            runtime, [&] { return script->asked.size() >= reads + 3; }, 3s))
            << "a monitor restarted after " << how << " ticks again";
    }
}

// Sends `datagrams` UDP datagrams of 1 KiB through the loopback interface.
void sendLoopbackTraffic(int datagrams) {
    asio::io_context io;
    asio::ip::udp::socket receiver(io, {asio::ip::address_v4::loopback(), 0});
    asio::ip::udp::socket sender(io, asio::ip::udp::v4());
    const std::vector<char> payload(1024, 'x');
    for (int i = 0; i < datagrams; ++i) {
        sender.send_to(asio::buffer(payload), receiver.local_endpoint());
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

}  // namespace
}  // namespace nimbra
