#pragma once

#include <functional>
#include <memory>

#include "base/async/core_runtime.hpp"
#include "base/preference_store.hpp"

namespace nimbra {
class WarpController;
struct ControllerEnvironment;
}  // namespace nimbra

namespace nimbra::shell {

// The core as the desktop client runs it: the controller on a core thread of its own, so the GUI
// thread only ever posts to it and never waits for it.
//
// The controller is built here on the constructing thread before the core thread exists, and from
// then on it is touched only from the core thread. Destruction stops the core loop, waits for the
// thread to end and only then destroys the controller, which refers to the runtime.
class CoreHost {
public:
    explicit CoreHost(PreferenceStore& store);
    // For tests that need a scripted start sequence or engine.
    explicit CoreHost(std::function<ControllerEnvironment(CoreRuntime&)> makeEnvironment);
    ~CoreHost();
    CoreHost(const CoreHost&) = delete;
    CoreHost& operator=(const CoreHost&) = delete;

    // Starts the core thread. Work posted before this runs once it has started.
    void start();
    // Quits the controller (stopping what this run started, restoring the proxy settings), ends
    // the core loop, and waits for the thread and for blocking calls still running. Idempotent.
    void shutdown();

    CoreRuntime& runtime() { return runtime_; }
    // Only for posting: dereference it on the core thread (or before start()).
    WarpController& controller() { return *controller_; }

private:
    CoreRuntime runtime_;
    std::unique_ptr<WarpController> controller_;
    bool started_ = false;
    bool stopped_ = false;
};

}  // namespace nimbra::shell
