#include "daemon/daemon_reachability.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <stdexcept>

#include "support/fake_daemon.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::FakeDaemon;
using testing::FakeReply;

// Collects the answers the pool reports, so a test can wait for the next one.
class Answers {
public:
    DaemonReachability::Listener listener() {
        return [this](bool reachable) {
            std::lock_guard lock(mutex_);
            answers_.push_back(reachable);
            arrived_.notify_all();
        };
    }
    // The n-th answer (1-based); fails the test when it does not come.
    bool nth(std::size_t n) {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, 10s, [&] { return answers_.size() >= n; })) {
            ADD_FAILURE() << "answer " << n << " never came";
            return false;
        }
        return answers_[n - 1];
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<bool> answers_;
};

TEST(DaemonReachability, AnswersFromTheCacheWithOneRefreshInFlight) {
    asio::thread_pool pool(2);
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<int> probes{0};
    std::atomic<bool> answer{true};
    Answers answers;
    DaemonReachability reachability(
        pool,
        [&] {
            ++probes;
            opened.wait();
            return answer.load();
        },
        answers.listener());

    // Nothing is known yet: the first call answers false at once and starts the only refresh;
    // the calls while it runs start none.
    EXPECT_EQ(reachability.cached(), std::nullopt);
    EXPECT_FALSE(reachability.reachable());
    EXPECT_FALSE(reachability.reachable());
    EXPECT_FALSE(reachability.refresh());
    gate.set_value();
    EXPECT_TRUE(answers.nth(1));
    EXPECT_EQ(probes, 1);
    EXPECT_EQ(reachability.cached(), true);

    // The cached answer comes first, the fresh one behind it.
    answer = false;
    EXPECT_TRUE(reachability.reachable());
    EXPECT_FALSE(answers.nth(2));
    EXPECT_FALSE(reachability.reachable());
    EXPECT_FALSE(answers.nth(3));
    EXPECT_EQ(probes, 3);
    pool.join();
}

TEST(DaemonReachability, PingsTheSocketAndTreatsAFailingProbeAsUnreachable) {
    asio::thread_pool pool(1);
    FakeDaemon daemon;
    // Any decoded reply, even a refusal, is an answer; an undecodable or truncated one is not.
    daemon.script("ping", {FakeReply::line(R"({"ok":false})"), FakeReply::line(R"({"ok":1})"),
                           FakeReply::bytes("")});
    Answers answers;
    DaemonReachability live(pool, daemon.socketPath(), answers.listener());
    std::size_t n = 0;
    for (const bool expected : {true, false, false}) {
        live.refresh();
        EXPECT_EQ(answers.nth(++n), expected) << "answer " << n;
    }
    EXPECT_EQ(daemon.requests(), (std::vector<std::string>(3, "{\"cmd\":\"ping\"}\n")));

    Answers thrown;
    DaemonReachability broken(
        pool, []() -> bool { throw std::runtime_error("probe broke"); }, thrown.listener());
    broken.refresh();
    EXPECT_FALSE(thrown.nth(1));
    EXPECT_EQ(broken.cached(), false);
    pool.join();
}

}  // namespace
}  // namespace nimbra
