// The controller's own share of a connect: from the moment the tunnel is ready to the delivery of
// the first `connected` snapshot, on a real core loop with the product's start sequence. The
// exit probe answers at once from a fixed trace, and the time spent inside it is taken out, so
// what remains is our hand-offs between the core thread and the pools, the relay's start in
// proxy mode, the proxy-settings step (the "none" back-end: the desktop is never touched) and
// the snapshot's delivery.

#include "connect_timing.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "controller/warp_controller.hpp"
#include "engine/usque_engine.hpp"
#include "model/preference_keys.hpp"
#include "proxy/system_proxy/backend_choice.hpp"
#include "proxy/system_proxy/system_proxy.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra::bench {
namespace {

using namespace std::chrono;

int64_t monotonicNs() {
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// Written on the lifecycle pool during one connect, read on the core thread once it is done.
struct Marks {
    std::atomic<int64_t> readyNs{0};
    std::atomic<int64_t> probeNs{0};

    void reset() {
        readyNs = 0;
        probeNs = 0;
    }
};

// The tunnel is up the moment startSocks returns.
class InstantEngine : public TunnelEngine {
public:
    InstantEngine(int port, std::shared_ptr<Marks> marks) : port_(port), marks_(std::move(marks)) {}

    int socksPort() const override { return port_; }
    bool isRunning() const override { return running_; }
    std::filesystem::path resolveBinary() const override { return "usque"; }
    void ensureReady() override {}
    void startSocks(bool) override {
        running_ = true;
        marks_->readyNs = monotonicNs();
    }
    void stopProcessOnly() override { running_ = false; }
    void stop() override { running_ = false; }

private:
    const int port_;
    const std::shared_ptr<Marks> marks_;
    std::atomic<bool> running_{false};
};

// The product's engine on the usque stand-in, whose readiness line carries the monotonic time at
// which it was written.
class StandinEngine : public TunnelEngine {
public:
    StandinEngine(int port, PreferenceStore& store, std::shared_ptr<Marks> marks)
        : engine_(port, {.timings = Timings::standard(), .processes = nullptr, .store = &store}),
          marks_(std::move(marks)) {}

    int socksPort() const override { return engine_.socksPort(); }
    bool isRunning() const override { return engine_.isRunning(); }
    std::filesystem::path resolveBinary() const override { return engine_.resolveBinary(); }
    void ensureReady() override { engine_.ensureReady(); }
    void startSocks(bool http2) override {
        engine_.startSocks(http2);
        const auto lines = engine_.recentLines();
        for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
            const auto at = line->find(kReadyAt);
            if (at == std::string::npos) continue;
            marks_->readyNs = std::atoll(line->c_str() + at + kReadyAt.size());
            return;
        }
    }
    void stopProcessOnly() override { engine_.stopProcessOnly(); }
    void stop() override { engine_.stop(); }

    static constexpr std::string_view kReadyAt = "ready at ";

private:
    UsqueEngine engine_;
    const std::shared_ptr<Marks> marks_;
};

// A WARP-on exit, answered at once; the time spent in each answer is added up.
class FixedDiagnostics : public DiagnosticsService {
public:
    explicit FixedDiagnostics(std::shared_ptr<Marks> marks) : marks_(std::move(marks)) {
        warpOn_.fetched = true;
        warpOn_.ip = "104.28.0.1";
        warpOn_.loc = "US";
        warpOn_.colo = "SJC";
        warpOn_.warp = "on";
    }

    TraceProbe exitViaSocks(int) override {
        const int64_t entered = monotonicNs();
        TraceProbe probe = warpOn_;
        marks_->probeNs += monotonicNs() - entered;
        return probe;
    }
    TraceProbe exitDirect() override { return TraceProbe::failed("not measured here"); }
    ConflictReport scanConflicts() override { return {}; }
    asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool&, int) override {
        co_return std::map<std::string, int>{};
    }

private:
    const std::shared_ptr<Marks> marks_;
    TraceProbe warpOn_;
};

// Connects, waits for `connected`, disconnects, waits for `disconnected`, and again, all driven
// from the snapshots on the core thread; quits when the runs are done or one fails.
class ConnectCycles {
public:
    ConnectCycles(CoreRuntime& runtime, WarpController& controller, std::shared_ptr<Marks> marks,
                  int cycles)
        : runtime_(runtime), controller_(controller), marks_(std::move(marks)), left_(cycles) {}

    void start() { next(); }

    void onSnapshot(const ControllerSnapshot& snapshot) {
        const int64_t deliveredNs = monotonicNs();
        if (step_ == Step::connecting && snapshot.phase == WarpPhase::connected) {
            record(deliveredNs);
            step_ = Step::disconnecting;
            controller_.disconnect();
        } else if (step_ == Step::connecting && snapshot.phase == WarpPhase::error) {
            samples_.failure = snapshot.detail;
            finish();
        } else if (step_ == Step::disconnecting && snapshot.phase == WarpPhase::disconnected) {
            next();
        }
    }

    ConnectSamples take() { return std::move(samples_); }

private:
    enum class Step { idle, connecting, disconnecting, quitting };

    void next() {
        if (left_-- == 0) {
            finish();
            return;
        }
        marks_->reset();
        step_ = Step::connecting;
        connectNs_ = monotonicNs();
        controller_.connect();
    }

    void record(int64_t deliveredNs) {
        if (warmedUp_) {
            const int64_t probe = marks_->probeNs;
            const int64_t ready = marks_->readyNs;
            if (ready > 0) samples_.readyToConnected.push_back((deliveredNs - ready - probe) / 1e6);
            samples_.connectToConnected.push_back((deliveredNs - connectNs_ - probe) / 1e6);
        }
        warmedUp_ = true;
    }

    void finish() {
        step_ = Step::quitting;
        controller_.quit([this] { runtime_.stop(); });
    }

    CoreRuntime& runtime_;
    WarpController& controller_;
    const std::shared_ptr<Marks> marks_;
    int left_;
    Step step_ = Step::idle;
    bool warmedUp_ = false;
    int64_t connectNs_ = 0;
    ConnectSamples samples_;
};

}  // namespace

ConnectSamples measureConnect(ConnectionMode mode, TunnelKind tunnel, int runs) {
    // HOME, XDG directories and the preferences in a temp dir, the stand-in first on PATH.
    testing::UsqueTestHome home;
    home.writeRegistration();
    home.knob("USQUE_STANDIN_READY_LINE",
              "Connected to MASQUE server, " + std::string(StandinEngine::kReadyAt) + "{mono_ns}");
    home.knob("USQUE_STANDIN_READY_DELAY_MS", "0");
    PreferenceStore& store = home.store();
    store.setInteger(prefkey::httpProxyPort, testing::freeLoopbackPort());
    store.setText(prefkey::connectionMode, rawValue(mode));

    auto marks = std::make_shared<Marks>();
    CoreRuntime runtime;
    ControllerEnvironment environment(runtime, store);
    environment.makeEngine = [&store, tunnel, marks](int port) -> std::shared_ptr<TunnelEngine> {
        if (tunnel == TunnelKind::standin) {
            return std::make_shared<StandinEngine>(port, store, marks);
        }
        return std::make_shared<InstantEngine>(port, marks);
    };
    environment.diagnostics = std::make_shared<FixedDiagnostics>(marks);
    const std::filesystem::path journal = home.home() / "proxy-journal.json";
    environment.makeSystemProxy = [journal](const LocalEndpoints& ours) {
        return std::make_shared<SystemProxy>(proxyBackendNamed("none", ours), ours,
                                             ProxyJournal(journal));
    };

    WarpController controller(std::move(environment));
    ConnectCycles cycles(runtime, controller, marks, runs + 1);
    controller.subscribe([&runtime](std::function<void()> work) { runtime.post(std::move(work)); },
                         [&cycles](SnapshotPtr snapshot) { cycles.onSnapshot(*snapshot); });
    runtime.post([&cycles] { cycles.start(); });
    runtime.run();
    // The pools may still run a look-up the controller started; let it end before the
    // controller and the home go.
    runtime.drainBlockingPool();
    return cycles.take();
}

}  // namespace nimbra::bench
