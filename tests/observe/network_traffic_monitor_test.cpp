// The traffic monitor's counting rules, history, lifecycle and publication, driven read by read
// with a scripted counter source on the sampling pool and a hand-moved clock; its reads on the
// pool, one at a time, dropped when their run ended or the monitor went; its own timer on a core
// runtime; and the texts the interface shows for its numbers.

#include "observe/network_traffic_monitor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
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
#include "observe/traffic_formatting.hpp"
#include "support/run_until.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;
using std::chrono::system_clock;

// Counters the test sets by hand, read on the sampling pool. They record what they were asked
// and from which thread, grow by `step` after every read, and hold reads while the gate is shut.
class CounterScript {
public:
    // What the reads so far asked for, on which threads, and how many were held at once.
    struct Record {
        std::vector<std::optional<std::string>> asked;
        std::vector<std::thread::id> readers;
        std::size_t inside = 0, mostInside = 0;
    };

    void set(ByteCounts now, ByteCounts step = {}) {
        const std::lock_guard lock(mutex_);
        current_ = now;
        step_ = step;
    }
    void setOpen(bool open) {
        {
            const std::lock_guard lock(mutex_);
            open_ = open;
        }
        opened_.notify_all();
    }
    Record record() const {
        const std::lock_guard lock(mutex_);
        return record_;
    }
    std::size_t reads() const { return record().asked.size(); }

    ByteCounts read(const std::optional<std::string>& interfaceName) {
        std::unique_lock lock(mutex_);
        record_.asked.push_back(interfaceName);
        record_.readers.push_back(std::this_thread::get_id());
        record_.mostInside = std::max(record_.mostInside, ++record_.inside);
        opened_.wait(lock, [this] { return open_; });
        --record_.inside;
        const ByteCounts now = current_;
        current_ = {now.rx + step_.rx, now.tx + step_.tx};
        return now;
    }

    std::atomic<int> sources = 0;  // sources reading this script that still exist

private:
    mutable std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = true;
    ByteCounts current_, step_;
    Record record_;
};
struct ScriptedCounters final : ByteCounterSource {
    explicit ScriptedCounters(std::shared_ptr<CounterScript> s) : script(std::move(s)) {
        ++script->sources;
    }
    ~ScriptedCounters() override { --script->sources; }
    ByteCounts sample(const std::optional<std::string>& interfaceName) override {
        return script->read(interfaceName);
    }
    std::shared_ptr<CounterScript> script;
};

// Down and up speed, total rx and tx: what a tick leaves, compared in one go.
using Counts = std::tuple<double, double, std::int64_t, std::int64_t>;

Counts countsOf(const NetworkTrafficMonitor& monitor) {
    const TrafficSnapshot& state = monitor.state();
    return {state.downSpeed, state.upSpeed, state.totalRxBytes, state.totalTxBytes};
}

// A monitor whose timer never fires within a test, so nothing reads but the test, and whose
// clock only moves when the test moves it.
class TrafficMonitorTest : public ::testing::Test {
protected:
    void TearDown() override { script_->setOpen(true); }  // no read may hold the pool at the end

    // Lets the read out on the pool come back and be applied.
    void settle() {
        ASSERT_TRUE(runUntil(runtime_, [this] { return !monitor_.sampling(); }));
    }
    void start() {
        monitor_.start();
        settle();
    }
    // Sets the counters, lets a second pass and ticks once.
    void tickWith(std::int64_t rx, std::int64_t tx) {
        script_->set({rx, tx});
        now_ += 1s;
        monitor_.tick();
        settle();
    }

    CoreRuntime runtime_{2};
    std::shared_ptr<CounterScript> script_ = std::make_shared<CounterScript>();
    system_clock::time_point now_ = system_clock::time_point(std::chrono::hours(480'000));
    NetworkTrafficMonitor monitor_{runtime_.executor(), runtime_.blockingPool(),
                                   std::make_unique<ScriptedCounters>(script_), 24h,
                                   [this] { return now_; }};
};

// 24 samples a second apart, the newest at `newest`, each with its own id; the k-th oldest went
// down at firstDown + k * downStep and up at `up`.
void expectHistory(const std::vector<SpeedSample>& history, system_clock::time_point newest,
                   double firstDown, double downStep, double up) {
    ASSERT_EQ(history.size(), 24u);
    std::set<std::string> ids;
    for (std::size_t k = 0; k < history.size(); ++k) {
        EXPECT_EQ(history[k], (SpeedSample{history[k].id, firstDown + downStep * k, up,
                                           newest - std::chrono::seconds(23 - k)}));
        ids.insert(history[k].id);
    }
    EXPECT_EQ(ids.size(), 24u);
}

TEST_F(TrafficMonitorTest, CountsPublishesAndKeepsHistoryThroughWrapsRetargetsStopsAndResets) {
    // An operation, the counters from then on, what the monitor shows after it and whether that
    // is a visible change, published to subscribers. A tick comes a second after the step
    // before; "wait" lets half a second pass.
    const std::tuple<std::string, ByteCounts, Counts, std::int64_t, bool> steps[] = {
        {"stop", {0, 0}, {0, 0, 0, 0}, 0, false},   // already idle
        {"start ", {0, 0}, {0, 0, 0, 0}, 0, true},  // an empty name is no target
        {"wait", {0, 0}, {0, 0, 0, 0}, 0, false},
        {"tick", {0, 0}, {0, 0, 0, 0}, 1, true},           // a quiet second is still a sample
        {"tick", {500, 40}, {500, 40, 500, 40}, 2, true},  // the zero read at start is the base
        {"tick", {700, 140}, {200, 100, 700, 140}, 3, true},
        {"tick", {50, 240}, {0, 100, 700, 240}, 4, true},  // rx wrapped: only rx reads zero
        {"tick", {1'050, 340}, {1'000, 100, 1'700, 340}, 5, true},
        // A counter that falls to zero could not be read: it is no base for the next reading.
        {"tick", {0, 340}, {0, 0, 1'700, 340}, 6, true},
        {"tick", {1'200, 400}, {0, 60, 1'700, 400}, 7, true},
        {"tick", {1'300, 400}, {100, 0, 1'800, 400}, 8, true},
        // While monitoring a new name only retargets: totals and uptime go on, and the new
        // interface's counters are a base of their own, never a delta from the old ones.
        {"start tun7", {90'000, 2'000}, {100, 0, 1'800, 400}, 8, false},
        {"start tun7", {90'000, 2'000}, {100, 0, 1'800, 400}, 8, false},
        {"start ", {90'000, 2'000}, {100, 0, 1'800, 400}, 8, false},
        {"start", {90'000, 2'000}, {100, 0, 1'800, 400}, 8, false},
        {"tick", {90'400, 2'100}, {400, 100, 2'200, 500}, 9, true},
        // Stop zeroes the speeds only, and a stopped monitor does not read.
        {"stop", {9'000, 9'000}, {0, 0, 2'200, 500}, 9, true},
        {"tick", {50'000, 60'000}, {0, 0, 2'200, 500}, 9, false},
        // A restart reads a new base: what passed while stopped is not counted.
        {"start", {50'000, 60'000}, {0, 0, 2'200, 500}, 0, true},
        {"tick", {50'100, 60'010}, {100, 10, 2'300, 510}, 1, true},
        {"set back", {50'100, 60'010}, {0, 0, 2'300, 510}, 0, true},  // uptime never negative
        {"reset", {50'100, 60'010}, {0, 0, 0, 0}, 0, true},
    };
    std::vector<std::function<void()>> posted;  // the subscriber's own queue
    std::vector<TrafficSnapshotPtr> seen;
    const auto delivered = [&] {
        for (auto& work : std::exchange(posted, {})) work();
        return seen.size();
    };
    const auto id = monitor_.subscribe(
        [&](std::function<void()> work) { posted.push_back(std::move(work)); },
        [&](TrafficSnapshotPtr snapshot) { seen.push_back(std::move(snapshot)); });
    EXPECT_EQ(delivered(), 1u) << "the snapshot at hand";
    expectHistory(monitor_.state().speedHistory, now_ - 1s, 0, 0, 0);  // fresh: all zero
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& [op, reading, shown, uptime, published] = steps[i];
        script_->set(reading);
        if (op == "tick" || op == "set back") {
            now_ += op == "tick" ? 1s : -10'000s;
            monitor_.tick();
        } else if (op == "wait") {
            now_ += 500ms;
        } else if (op == "stop" || op == "reset") {
            op == "stop" ? monitor_.stop() : monitor_.reset();
        } else {
            monitor_.start(op == "start" ? std::nullopt : std::optional(op.substr(6)));
        }
        settle();
        const std::size_t before = seen.size();
        EXPECT_EQ(delivered() > before, published) << "step " << i << ": " << op;
        EXPECT_EQ(*seen.back(), monitor_.state()) << "step " << i << ": " << op;
        EXPECT_EQ(countsOf(monitor_), shown) << "step " << i << ": " << op;
        EXPECT_EQ(monitor_.state().uptimeSeconds, uptime) << "step " << i << ": " << op;
    }
    const std::optional<std::string> tunnel, tun7 = "tun7";
    std::vector expected(9, tunnel);
    expected.insert(expected.end(), {tun7, tun7, tunnel, tunnel, tunnel});
    EXPECT_EQ(script_->record().asked, expected);
    const auto readers = script_->record().readers;
    EXPECT_EQ(std::count(readers.begin(), readers.end(), std::this_thread::get_id()), 0)
        << "read on the core thread";
    expectHistory(monitor_.state().speedHistory, now_ - 1s, 0, 0, 0);
    monitor_.unsubscribe(id);

    script_->set({1'000, 1});
    start();
    for (int i = 1; i <= 30; ++i) tickWith(1'000 + 50 * i * (i + 1), 1 + i);  // tick i: 100 * i
    expectHistory(monitor_.state().speedHistory, now_, 700, 100, 1);  // the last 24: 7 to 30
    EXPECT_TRUE(posted.empty()) << "delivered after unsubscribing";
}

TEST_F(TrafficMonitorTest, ReadsOneAtATimeAndDropsWhatAStoppedRunOrAGoneMonitorReadsLate) {
    const auto waitHeld = [&] {
        return runUntil(runtime_, [&] { return script_->record().inside == 1; });
    };
    script_->set({1'000, 1'000}, {300, 20});
    start();

    // A slow read: ticks asked meanwhile start no second read, and nothing is applied early.
    script_->setOpen(false);
    monitor_.tick();
    ASSERT_TRUE(waitHeld());
    monitor_.tick();
    runFor(runtime_, 50ms);
    EXPECT_EQ(script_->reads(), 2u);
    EXPECT_EQ(countsOf(monitor_), Counts(0, 0, 0, 0));
    script_->setOpen(true);
    settle();
    EXPECT_EQ(countsOf(monitor_), Counts(300, 20, 300, 20));

    // Stopped, or reset, while a read is out: its result is dropped. A start while a read of the
    // ended run is still out takes its base once that read is back, never beside it.
    for (const std::string how : {"stop", "reset and start"}) {
        const Counts before = countsOf(monitor_);
        script_->setOpen(false);
        monitor_.tick();
        ASSERT_TRUE(waitHeld()) << how;
        const std::size_t reads = script_->reads();
        if (how == "stop") {
            monitor_.stop();
        } else {
            monitor_.reset();
            monitor_.start();
            runFor(runtime_, 50ms);
            EXPECT_EQ(script_->reads(), reads) << "a base read beside a late one";
        }
        script_->setOpen(true);
        settle();
        if (how == "stop") {
            EXPECT_EQ(script_->reads(), reads);
            EXPECT_EQ(countsOf(monitor_), Counts(0, 0, std::get<2>(before), std::get<3>(before)));
            start();
        } else {
            EXPECT_EQ(script_->reads(), reads + 1) << "no base after the late read";
            EXPECT_EQ(countsOf(monitor_), Counts(0, 0, 0, 0));
            monitor_.tick();  // one step past the base, whatever the late read saw
            settle();
            EXPECT_EQ(countsOf(monitor_), Counts(300, 20, 300, 20));
        }
    }

    // Gone while a read is out: the read keeps the source until it returns, then lets it go,
    // and touches nothing of the monitor (the sanitizer build would see it).
    auto gone =
        std::make_unique<NetworkTrafficMonitor>(runtime_.executor(), runtime_.blockingPool(),
                                                std::make_unique<ScriptedCounters>(script_), 24h);
    script_->setOpen(false);
    gone->start();
    ASSERT_TRUE(waitHeld());
    gone.reset();
    EXPECT_EQ(script_->sources, 2) << "the source went while a read used it";
    script_->setOpen(true);
    EXPECT_TRUE(runUntil(runtime_, [&] { return script_->sources == 1; }));
    EXPECT_EQ(script_->record().mostInside, 1u);
}

TEST(TrafficMonitorTimer, TicksWhileWatchedUntilStoppedResetOrDestroyed) {
    CoreRuntime runtime(2);
    auto script = std::make_shared<CounterScript>();
    script->set({1'000, 1'000}, {300, 20});
    auto monitor =
        std::make_unique<NetworkTrafficMonitor>(runtime.executor(), runtime.blockingPool(),
                                                std::make_unique<ScriptedCounters>(script), 20ms);
    monitor->setWatched(true);
    monitor->start();
    std::size_t wanted = 5;  // reads, the first of them the base
    const auto readEnough = [&] { return script->reads() >= wanted && !monitor->sampling(); };
    ASSERT_TRUE(runUntil(runtime, readEnough, 60s));
    EXPECT_EQ(countsOf(*monitor), Counts(300, 20, 4 * 300, 4 * 20));

    for (const std::string how : {"stop", "reset", "destruction"}) {
        if (how == "stop") monitor->stop();
        if (how == "reset") monitor->reset();
        if (how == "destruction") monitor.reset();  // a tick is pending on the core loop
        const auto reads = script->reads();
        runFor(runtime, 100ms);
        EXPECT_EQ(script->reads(), reads) << "ticked after " << how;
        if (!monitor) break;
        monitor->start();
        wanted = reads + 3;
        ASSERT_TRUE(runUntil(runtime, readEnough, 60s)) << "no ticks after a restart after " << how;
    }
}

// The texts the interface shows for traffic, at and around every unit boundary.
constexpr std::int64_t kKiB = 1024, kMiB = 1024 * kKiB, kGiB = 1024 * kMiB;
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();

TEST(TrafficFormatting, SpeedNeverNegativeBytesWithTwoDecimalsFromGibibytesUptimeWithoutDays) {
    // clang-format off
    const std::pair<double, std::pair<std::string, std::string>> speeds[] = {
        {0, {"0", "B/s"}}, {1023.4, {"1023", "B/s"}}, {-0.4, {"0", "B/s"}},
        {std::numeric_limits<double>::quiet_NaN(), {"0", "B/s"}}, {1024, {"1.0", "KB/s"}},
        {1536, {"1.5", "KB/s"}}, {kMiB - 1, {"1024.0", "KB/s"}}, {kMiB, {"1.0", "MB/s"}},
        {kGiB - 1, {"1024.0", "MB/s"}}, {kGiB, {"1.0", "GB/s"}}, {3000.0 * kGiB, {"3000.0", "GB/s"}},
    };
    const std::pair<std::int64_t, std::string> bytes[] = {
        {1023, "1023 B"}, {kMin, "-9223372036854775808 B"}, {1024, "1.0 KB"},
        {kMiB - 1, "1024.0 KB"}, {10 * kMiB + kMiB / 2, "10.5 MB"}, {kGiB - 1, "1024.0 MB"},
        {kGiB, "1.00 GB"}, {5 * kGiB + kGiB / 4, "5.25 GB"}, {kMax, "8589934592.00 GB"},
    };
    const std::pair<std::int64_t, std::string> uptimes[] = {
        {0, "00:00"}, {59, "00:59"}, {3599, "59:59"}, {3600, "01:00:00"}, {86399, "23:59:59"},
        {100 * 3600 + 5, "100:00:05"}, {-1, "00:00"},
    };
    // clang-format on
    for (const auto& [speed, expected] : speeds)
        EXPECT_EQ(traffic::formatSpeed(speed), expected) << speed;
    for (const auto& [count, expected] : bytes) EXPECT_EQ(traffic::formatBytes(count), expected);
    for (const auto& [seconds, expected] : uptimes)
        EXPECT_EQ(traffic::formatUptime(seconds), expected);
}

}  // namespace
}  // namespace nimbra
