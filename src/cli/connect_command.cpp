// `nimbra-cli connect`: the whole product without a window. It connects, prints every status
// change and, once connected, what the connection offers; it stays in the foreground until a
// signal, then disconnects (or cancels a connect still under way) and quits cleanly. With
// --traffic it shows the traffic figures, and only then does the controller measure each second.

#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>

#include "base/async/core_runtime.hpp"
#include "cli/commands.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/l10n.hpp"
#include "model/app_preferences.hpp"
#include "proxy/system_proxy/system_proxy.hpp"
#include "system/platform_profile.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;

// Follows the controller's snapshots on the core thread: prints, and decides when the run ends.
class ForegroundSession {
public:
    ForegroundSession(CoreRuntime& runtime, WarpController& controller, bool showTraffic)
        : runtime_(runtime), controller_(controller), showTraffic_(showTraffic) {}

    void onSnapshot(const ControllerSnapshot& snapshot) {
        printStatus(snapshot);
        if (showTraffic_) printTraffic(snapshot);
        if (snapshot.phase != WarpPhase::disconnected) attemptShown_ = true;
        if (snapshot.phase == WarpPhase::connected && !announced_) {
            announced_ = true;
            printConnection(snapshot);
        }
        if (snapshot.phase == WarpPhase::error && !ending_) {
            std::fprintf(stderr, "nimbra-cli: %s\n", snapshot.detail.c_str());
            if (!snapshot.usqueFound) {
                // The engine's own text is in Chinese only; say it plainly as well.
                std::fprintf(stderr,
                             "nimbra-cli: usque was not found: run %s (it installs usque into "
                             "~/.local/bin), then connect again\n",
                             PlatformProfile::current().usqueFetchScript.c_str());
            }
            exitCode_ = kFailed;
            end();
        }
        if (snapshot.phase == WarpPhase::disconnected && stopRequested_) end();
        // The start-up conflict scan may mark a conflict before the attempt has answered, so the
        // attempt's own end decides: back to disconnected unasked is a refusal before anything
        // started, and its detail says what to switch off first.
        if (snapshot.phase == WarpPhase::disconnected && attemptShown_ && !stopRequested_ &&
            !ending_) {
            std::fprintf(stderr, "nimbra-cli: %s\n", snapshot.detail.c_str());
            exitCode_ = kFailed;
            end();
        }
    }

    // A signal: a connect under way is cancelled, a connection disconnected; a second signal, or
    // one while nothing runs, quits at once (quitting still stops and restores everything).
    void onSignal(int signalNumber) {
        const WarpPhase phase = controller_.state().phase;
        if (stopRequested_ || phase == WarpPhase::error || phase == WarpPhase::disconnected) {
            end();
            return;
        }
        stopRequested_ = true;
        if (phase == WarpPhase::connected || phase == WarpPhase::reconnecting) {
            controller_.disconnect();
        } else if (phase != WarpPhase::stopping) {
            exitCode_ = 128 + signalNumber;  // the shell's convention for "ended by a signal"
            controller_.cancelConnect();
        }
    }

    int exitCode() const { return exitCode_; }

private:
    void printStatus(const ControllerSnapshot& snapshot) {
        // One line per visible change: two phases can share a label and a detail.
        std::string line =
            "[" + L10n::status(snapshot.phase, controller_.language()) + "] " + snapshot.detail;
        if (line == lastLine_) return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        lastLine_ = std::move(line);
    }

    // One line per tick: a tick adds a sample to the history, and only a tick does.
    void printTraffic(const ControllerSnapshot& snapshot) {
        const TrafficSnapshot& traffic = snapshot.traffic;
        if (traffic.speedHistory.empty()) return;
        const std::string& newest = traffic.speedHistory.back().id;
        const bool ticked = !lastSample_.empty() && newest != lastSample_;
        lastSample_ = newest;
        if (!ticked || !traffic.isMonitoring || !snapshot.isConnected()) return;
        std::printf("traffic down=%.0f up=%.0f total_down=%lld total_up=%lld connected=%lld\n",
                    traffic.downSpeed, traffic.upSpeed,
                    static_cast<long long>(traffic.totalRxBytes),
                    static_cast<long long>(traffic.totalTxBytes),
                    static_cast<long long>(traffic.uptimeSeconds));
        std::fflush(stdout);
    }

    static void printConnection(const ControllerSnapshot& snapshot) {
        std::printf("SOCKS5 proxy: %s\n", snapshot.socksEndpoint.c_str());
        if (snapshot.connectionMode == ConnectionMode::globalTun) {
            std::printf("HTTP proxy:   %s (PAC at http://%s/proxy.pac)\n",
                        snapshot.httpEndpoint.c_str(), snapshot.httpEndpoint.c_str());
        }
        std::printf("Exit:         ip=%s loc=%s colo=%s warp=%s\n", snapshot.exitIp.c_str(),
                    snapshot.exitLoc.c_str(), snapshot.exitColo.c_str(), snapshot.exitWarp.c_str());
        if (!snapshot.globalCoverageNote.empty()) {
            std::printf("Coverage:     %s\n", snapshot.globalCoverageNote.c_str());
        }
        std::fflush(stdout);
    }

    void end() {
        if (ending_) return;
        ending_ = true;
        controller_.quit([this] { runtime_.stop(); });
    }

    CoreRuntime& runtime_;
    WarpController& controller_;
    std::string lastLine_;
    bool showTraffic_ = false;
    std::string lastSample_;  // the newest history sample's id when last seen
    bool announced_ = false;
    bool attemptShown_ = false;
    bool stopRequested_ = false;
    bool ending_ = false;
    int exitCode_ = 0;
};

void armSignals(asio::signal_set& signals, ForegroundSession& session) {
    signals.async_wait([&signals, &session](std::error_code error, int signalNumber) {
        if (error) return;
        session.onSignal(signalNumber);
        armSignals(signals, session);
    });
}

}  // namespace

int connectInForeground(const ConnectOptions& options) {
    if (options.mode.value_or(AppPreferences::standard().connectionMode()) ==
        ConnectionMode::realTun) {
        if (const auto blocker = realTunInstallBlocker()) {
            std::fprintf(stderr, "nimbra-cli: %s\n", blocker->c_str());
            return kFailed;
        }
    }
    {
        // Proxy settings a crashed or killed run left behind go back first.
        AppPreferences preferences(PreferenceStore::standard());
        preferences.migrateIfNeeded();
        SystemProxy::recoverAtStartup(
            {"127.0.0.1", preferences.httpProxyPort(), preferences.socksPort()});
    }
    CoreRuntime runtime;
    ControllerEnvironment environment(runtime, PreferenceStore::standard());
    environment.timings = Timings::forThisRun();
    environment.connectionModeForRun = options.mode;
    environment.http2ForRun = options.http2;
    WarpController controller(std::move(environment));
    ForegroundSession session(runtime, controller, options.traffic);

    asio::signal_set signals(runtime.context(), SIGINT, SIGTERM, SIGHUP);
    armSignals(signals, session);

    // Subscribed once the attempt shows itself: the idle state before it ("Ready") is no status
    // of this run's.
    runtime.post([&runtime, &controller, &session, &options] {
        if (options.traffic) controller.watchTraffic(true);
        controller.connect();
        auto onCore = [&runtime](std::function<void()> work) { runtime.post(std::move(work)); };
        controller.subscribe(onCore,
                             [&session](SnapshotPtr snapshot) { session.onSnapshot(*snapshot); });
    });
    runtime.run();
    return session.exitCode();
}

}  // namespace nimbra::cli
