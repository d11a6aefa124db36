#pragma once

// Scriptable stand-ins for what a connection is made of, for the controller's tests: an engine
// whose starts fail or hang on cue, diagnostics with queued answers, and a desktop settings store
// that records what was written. All of them are called from the pools, so their state is atomic
// or guarded.

#include <asio/awaitable.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/async/sleep.hpp"
#include "controller/diagnostics_service.hpp"
#include "diagnostics/trace_parser.hpp"
#include "engine/tunnel_engine.hpp"
#include "proxy/system_proxy/proxy_backend.hpp"
#include "proxy/system_proxy/proxy_error.hpp"

namespace nimbra::testing {

inline TraceProbe probeAt(const std::string& loc, const std::string& warp = "on") {
    return parseTrace("ip=104.28.0.1\nloc=" + loc + "\ncolo=SJC\nwarp=" + warp + "\n");
}

class FakeEngine : public TunnelEngine {
public:
    explicit FakeEngine(int port) : port_(port) {}
    int socksPort() const override { return port_; }
    bool isRunning() const override { return running; }
    std::filesystem::path resolveBinary() const override { throw std::runtime_error("none"); }
    void ensureReady() override {}
    // Fails when told to for this transport; with `holdStarts`, waits until a stop arrives (as
    // a usque that never reports ready does) and then fails as the real engine does.
    void startSocks(bool http2) override {
        std::unique_lock lock(mutex_);
        starts.push_back(http2);
        const int stopsBefore = stops;
        if (holdStarts) {
            wake_.wait(lock, [&] { return stops != stopsBefore; });
            throw std::runtime_error("stopped while starting");
        }
        if (http2 ? failHttp2 : failQuic) throw std::runtime_error("usque exited early");
        running = true;
    }
    void stopProcessOnly() override { stop(); }
    void stop() override {
        std::lock_guard lock(mutex_);
        ++stops;
        running = false;
        wake_.notify_all();
    }

    std::vector<bool> startsSeen() {
        std::lock_guard lock(mutex_);
        return starts;
    }

    std::atomic<bool> running{false};
    std::atomic<int> stops{0};
    std::atomic<bool> failQuic{false}, failHttp2{false}, holdStarts{false};

private:
    int port_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<bool> starts;  // the transport of each start: true for HTTP/2
};

// Scripted answers for the exit probes, gateway latencies and conflict scan; counts the calls.
// Probes take queued answers first, then `socksAnswer` or `directAnswer`.
class FakeDiagnostics : public DiagnosticsService {
public:
    TraceProbe exitViaSocks(int) override {
        ++socksProbes;
        if (onSocksProbe) onSocksProbe();
        std::lock_guard lock(mutex_);
        if (queued.empty()) return socksAnswer;
        TraceProbe next = queued.front();
        queued.pop_front();
        return next;
    }
    TraceProbe exitDirect() override {
        ++directProbes;
        if (onDirectProbe) onDirectProbe();
        std::lock_guard lock(mutex_);
        if (queuedDirect.empty()) return directAnswer;
        TraceProbe next = queuedDirect.front();
        queuedDirect.pop_front();
        return next;
    }
    ConflictReport scanConflicts() override {
        if (onScan) onScan();
        std::lock_guard lock(mutex_);
        return report;
    }
    asio::awaitable<std::map<std::string, int>> gatewayLatencies(asio::thread_pool&, int) override {
        ++latencyRuns;
        co_await sleepFor(std::chrono::milliseconds(30));
        co_return latencies;
    }
    void queueSocksAnswers(std::initializer_list<TraceProbe> answers) {
        std::lock_guard lock(mutex_);
        queued.insert(queued.end(), answers);
    }
    void queueDirectAnswers(std::initializer_list<TraceProbe> answers) {
        std::lock_guard lock(mutex_);
        queuedDirect.insert(queuedDirect.end(), answers);
    }
    void setReport(ConflictReport next) {
        std::lock_guard lock(mutex_);
        report = std::move(next);
    }

    TraceProbe socksAnswer = probeAt("US"), directAnswer;
    // Runs on the pool inside each probe through SOCKS; set before connecting.
    std::function<void()> onSocksProbe;
    // The same for each direct probe; set while none runs.
    std::function<void()> onDirectProbe;
    // Runs on the pool inside each conflict scan; set before connecting.
    std::function<void()> onScan;
    std::map<std::string, int> latencies;
    std::atomic<int> socksProbes{0}, directProbes{0}, latencyRuns{0};

private:
    std::mutex mutex_;
    std::deque<TraceProbe> queued;
    std::deque<TraceProbe> queuedDirect;
    ConflictReport report;
};

// A desktop settings store in memory: one manual/auto switch and the relay address, so the
// system proxy's snapshot, restore and "switch off only ours" logic run for real on top of it.
class RecordingProxyBackend : public ProxyBackend {
public:
    std::string name() const override { return "gnome"; }
    std::string chooseScope() override { return ""; }
    ProxySettings read(const std::string&) override {
        std::lock_guard lock(mutex_);
        ProxySettings settings;
        settings.backend = "gnome";
        settings.values = {{"mode", mode}};
        return settings;
    }
    void applyAutoSplit(const std::string&, const std::string&) override { write("auto"); }
    void applyFull(const std::string&, const FullProxyRequest&) override { write("manual"); }
    void restore(const ProxySettings& prior) override {
        std::lock_guard lock(mutex_);
        ++restores;
        mode = prior.values.at("mode");
    }
    bool pointsAt(const ProxySettings& current, const LocalEndpoints&) const override {
        const std::string& mode = current.values.at("mode");
        return mode == "auto" || mode == "manual";
    }
    void switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) override {
        if (!pointsAt(current, ours)) return;
        std::lock_guard lock(mutex_);
        mode = "none";
    }
    std::vector<std::string> describe(const ProxySettings& current) const override {
        return {"mode " + current.values.at("mode")};
    }

    std::string current() {
        std::lock_guard lock(mutex_);
        return mode;
    }

    // What the user had set up themselves: neither "auto" nor "manual" point at us.
    void setUsersOwn(const std::string& own) {
        std::lock_guard lock(mutex_);
        mode = own;
    }

    std::atomic<bool> failWrites{false};
    std::atomic<int> writes{0}, restores{0};
    // Runs on the pool inside each write, before it lands; set before connecting.
    std::function<void()> onWrite;

private:
    void write(const std::string& next) {
        ++writes;
        if (onWrite) onWrite();
        if (failWrites) throw ProxyError(ProxyError::CommandFailed{"gsettings: no D-Bus"});
        std::lock_guard lock(mutex_);
        mode = next;
    }

    std::mutex mutex_;
    std::string mode = "none";
};

}  // namespace nimbra::testing
