#pragma once

#include <QObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace nimbra::shell {

// A measuring aid for bench/window_session, off unless NIMBRA_GUI_STALL_PROBE is set: a helper
// thread posts an event to the GUI thread every 5 ms (one in flight at a time) and the probe
// keeps the longest wait before one was handled, which is how long a key press or a repaint
// would have waited. It prints every wait of 16 ms or more as it ends, the first frame the main
// window swapped, and at the end the longest wait, on stderr, with CLOCK_MONOTONIC times the
// benchmark lines up with its own steps. When the variable is unset nothing is built, so an
// ordinary run keeps its zero wake-ups.
class GuiStallProbe : public QObject {
public:
    // Null unless NIMBRA_GUI_STALL_PROBE is set. Call after the application object exists.
    static std::unique_ptr<GuiStallProbe> startIfAsked();
    struct ThreadTimes {
        std::chrono::nanoseconds onCpu{};
        std::chrono::nanoseconds waiting{};
    };
    GuiStallProbe();
    ~GuiStallProbe() override;

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void tick();

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> inFlight{false};
    std::chrono::steady_clock::duration longest{};
    long handled = 0;
    ThreadTimes last;  // the GUI thread's, when the previous probe was handled
    std::thread ticker;
};

}  // namespace nimbra::shell
