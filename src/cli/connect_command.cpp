#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>

#include "base/async/core_runtime.hpp"
#include "cli/commands.hpp"
#include "controller/warp_controller.hpp"
#include "model/app_preferences.hpp"
#include "proxy/system_proxy/system_proxy.hpp"

namespace nimbra::cli {
namespace {

// Follows the controller's snapshots on the core thread, printing each status change and ending
// the run when the connection has come down for good.
class ForegroundSession {
public:
    ForegroundSession(CoreRuntime& runtime, WarpController& controller)
        : runtime_(runtime), controller_(controller) {}

    void onSnapshot(const SnapshotPtr& snapshot) {
        // One line per visible change: two phases can share a label and a detail.
        std::string line = "[" + std::string(statusLabel(snapshot->phase, controller_.language())) +
                           "] " + snapshot->detail;
        if (line != lastLine_) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
            lastLine_ = std::move(line);
        }

        if (snapshot->phase == WarpPhase::error) {
            // A failed attempt has already stopped what it started; only a live engine is left
            // to tear down before leaving.
            exitCode_ = 1;
            if (controller_.engine().isRunning()) {
                controller_.disconnect();
            } else {
                runtime_.stop();
            }
        }
        if (snapshot->phase == WarpPhase::disconnected && (stopRequested_ || exitCode_ != 0)) {
            runtime_.stop();
        }
    }

    void requestStop() {
        stopRequested_ = true;
        if (controller_.state().phase == WarpPhase::disconnected) {
            runtime_.stop();
        } else if (controller_.state().phase != WarpPhase::stopping) {
            controller_.toggle();
        }
    }

    int exitCode() const { return exitCode_; }

private:
    CoreRuntime& runtime_;
    WarpController& controller_;
    std::string lastLine_;
    bool stopRequested_ = false;
    int exitCode_ = 0;
};

}  // namespace

int connectInForeground() {
    {
        // Proxy settings a crashed or killed run left behind go back first.
        AppPreferences preferences(PreferenceStore::standard());
        preferences.migrateIfNeeded();
        SystemProxy::recoverAtStartup(
            {"127.0.0.1", preferences.httpProxyPort(), preferences.socksPort()});
    }
    CoreRuntime runtime;
    WarpController controller(ControllerEnvironment(runtime, PreferenceStore::standard()));
    ForegroundSession session(runtime, controller);

    auto onCore = [&runtime](std::function<void()> work) { runtime.post(std::move(work)); };
    controller.subscribe(onCore,
                         [&session](SnapshotPtr snapshot) { session.onSnapshot(snapshot); });

    asio::signal_set signals(runtime.context(), SIGINT, SIGTERM);
    signals.async_wait([&session](std::error_code error, int) {
        if (!error) session.requestStop();
    });

    runtime.post([&controller] { controller.connect(); });
    runtime.run();
    return session.exitCode();
}

}  // namespace nimbra::cli
