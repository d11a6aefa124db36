#pragma once

// The controller on a real core loop with fakes around it, and the ways its tests look at it:
// waiting for a phase, and the phases and details its snapshots went through.

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "controller/controller_fakes.hpp"
#include "controller/warp_controller.hpp"
#include "support/run_until.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::testing {

using Shown = std::pair<WarpPhase, std::string>;

// Whether `wanted` appears in `shown` in this order, other texts allowed in between.
inline bool inOrder(const std::vector<std::string>& shown, const std::vector<std::string>& wanted) {
    auto next = shown.begin();
    for (const std::string& text : wanted) {
        next = std::find(next, shown.end(), text);
        if (next == shown.end()) return false;
        ++next;
    }
    return true;
}

// Whether something accepts connections on the loopback `port`.
inline bool listening(int port) {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    socket.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, error);
    return !error;
}

class ControllerFixture : public ::testing::Test {
protected:
    // Builds the controller. Without `start` it runs the product's own start sequence against
    // the fake engine, diagnostics and settings store.
    void makeController(StartSequence start = {},
                        std::function<void(ControllerEnvironment&)> adjust = {}) {
        ControllerEnvironment environment(runtime_, store_);
        environment.timings.connectRace = std::chrono::seconds(10);
        environment.timings.quitDrainWait = std::chrono::milliseconds(200);
        environment.makeEngine = [this](int port) {
            return engine_ = std::make_shared<FakeEngine>(port);
        };
        environment.startSequence = std::move(start);
        environment.diagnostics = diagnostics_;
        environment.watchNetwork = false;  // this machine's own events stay out of the tests
        environment.makeSystemProxy = [this](const LocalEndpoints& ours) {
            return std::make_shared<SystemProxy>(desktop_, ours,
                                                 ProxyJournal(dir_ / "proxy-journal.json"));
        };
        // No test talks to an installed nimbrad or rewrites the user's daemon configuration: the
        // default is a socket nobody listens on and steps that do nothing.
        environment.daemon = std::make_shared<DaemonService>(
            (dir_ / "nimbra.sock").string(), AppPreferences(store_),
            DaemonService::Steps{.syncPreferences = [](bool) {}, .ensureInstalled = [] {}},
            runtime_.blockingPool());
        if (adjust) adjust(environment);
        retireController();
        controller_ = std::make_unique<WarpController>(std::move(environment));
    }

    void TearDown() override { retireController(); }

    // A controller goes only after quitting: its tasks may still wait for the pools.
    void retireController() {
        if (!controller_) return;
        bool done = false;
        controller_->quit([&] { done = true; });
        EXPECT_TRUE(settles([&] { return done; }));
        controller_.reset();
    }

    // Waits are bounded by the scenario: the fakes answer within milliseconds, so a wait that
    // runs out is a fault, reported with where the controller stood rather than as a suite
    // time-out.
    static constexpr std::chrono::seconds kSettleBound{5};

    ::testing::AssertionResult becomes(WarpPhase phase) {
        return settles([&] { return controller_->state().phase == phase; },
                       "phase " + std::string(rawValue(phase)));
    }
    ::testing::AssertionResult settles(const std::function<bool()>& done,
                                       const std::string& awaited = "the condition") {
        if (runUntil(runtime_, done, kSettleBound)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "waited " << kSettleBound.count() << " s for " << awaited << "; " << standing();
    }
    // Until the attempt has ended and its last snapshot has been delivered.
    ::testing::AssertionResult ends() {
        ::testing::AssertionResult ended = settles(
            [&] {
                const auto& s = controller_->state();
                return s.phase == WarpPhase::connected || s.phase == WarpPhase::error ||
                       (s.phase == WarpPhase::disconnected && !s.ready);
            },
            "the attempt to end");
        runFor(runtime_, std::chrono::milliseconds(20));
        return ended;
    }
    std::string standing() const {
        if (!controller_) return "no controller";
        const auto& s = controller_->state();
        return "last phase " + std::string(rawValue(s.phase)) + ", detail \"" + s.detail + "\"";
    }

    // Records every snapshot delivered through `post`, by default on the core loop.
    uint64_t watch(ControllerState::Poster post = {}) {
        if (!post) post = [this](std::function<void()> f) { runtime_.post(std::move(f)); };
        return controller_->subscribe(std::move(post), [this](SnapshotPtr s) {
            seenOn_.insert(std::this_thread::get_id());
            seen_.push_back(std::move(s));
        });
    }
    // Each change of phase among the snapshots seen, with its detail.
    std::vector<Shown> phasesSeen() const {
        std::vector<Shown> phases;
        for (const auto& s : seen_) {
            if (phases.empty() || phases.back().first != s->phase) {
                phases.emplace_back(s->phase, s->detail);
            }
        }
        return phases;
    }
    // Every detail text shown, in order, each once per run of equal ones.
    std::vector<std::string> detailsSeen() const {
        std::vector<std::string> details;
        for (const auto& s : seen_) {
            if (details.empty() || details.back() != s->detail) details.push_back(s->detail);
        }
        return details;
    }

    CoreRuntime runtime_;
    std::vector<SnapshotPtr> seen_;  // written by one thread at a time, read after it is done
    std::set<std::thread::id> seenOn_;
    TempDir dir_;
    PreferenceStore store_{dir_ / "preferences.json"};
    std::shared_ptr<FakeEngine> engine_;
    std::shared_ptr<FakeDiagnostics> diagnostics_ = std::make_shared<FakeDiagnostics>();
    std::shared_ptr<RecordingProxyBackend> desktop_ = std::make_shared<RecordingProxyBackend>();
    std::unique_ptr<WarpController> controller_;
};

}  // namespace nimbra::testing
