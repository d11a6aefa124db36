#include "shell/gui_stall_probe.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QQuickWindow>
#include <algorithm>
#include <cstdio>
#include <fstream>

namespace nimbra::shell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kInterval = std::chrono::milliseconds(5);
constexpr auto kReported = std::chrono::milliseconds(16);
const QEvent::Type kProbeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class ProbeEvent : public QEvent {
public:
    ProbeEvent() : QEvent(kProbeEvent), posted(Clock::now()) {}
    const Clock::time_point posted;
};

double seconds(Clock::time_point at) {
    return std::chrono::duration<double>(at.time_since_epoch()).count();
}

double milliseconds(Clock::duration span) {
    return std::chrono::duration<double, std::milli>(span).count();
}

// The calling thread's time on a CPU and waiting for one, from the kernel's schedstat: a stall
// with the thread runnable but not running is the machine's load, not our code.
GuiStallProbe::ThreadTimes threadTimes() {
    std::ifstream schedstat("/proc/thread-self/schedstat");
    long long onCpu = 0;
    long long waiting = 0;
    schedstat >> onCpu >> waiting;
    return {std::chrono::nanoseconds(onCpu), std::chrono::nanoseconds(waiting)};
}

}  // namespace

std::unique_ptr<GuiStallProbe> GuiStallProbe::startIfAsked() {
    if (!qEnvironmentVariableIsSet("NIMBRA_GUI_STALL_PROBE")) return nullptr;
    return std::make_unique<GuiStallProbe>();
}

GuiStallProbe::GuiStallProbe() : last(threadTimes()) {
    // Sees every event until the main window's first expose, to hook its first frame.
    QCoreApplication::instance()->installEventFilter(this);
    ticker = std::thread([this] { tick(); });
}

GuiStallProbe::~GuiStallProbe() {
    {
        const std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    ticker.join();
    std::fprintf(stderr, "gui-stall-max: %.1f ms over %ld probes\n", milliseconds(longest),
                 handled);
}

void GuiStallProbe::tick() {
    std::unique_lock lock(mutex);
    while (!wake.wait_for(lock, kInterval, [this] { return stopping; })) {
        // One in flight: a stall then shows as one long wait, not a queue of them.
        if (!inFlight.exchange(true)) QCoreApplication::postEvent(this, new ProbeEvent);
    }
}

bool GuiStallProbe::event(QEvent* event) {
    if (event->type() != kProbeEvent) return QObject::event(event);
    const Clock::time_point now = Clock::now();
    const Clock::duration waited = now - static_cast<ProbeEvent*>(event)->posted;
    longest = std::max(longest, waited);
    ++handled;
    const ThreadTimes times = threadTimes();
    if (waited >= kReported) {
        // Of the wait: running our code, runnable behind other work, and the rest asleep.
        std::fprintf(stderr,
                     "gui-stall: %.1f ms ending at %.6f (on cpu %.1f ms, runnable %.1f ms)\n",
                     milliseconds(waited), seconds(now), milliseconds(times.onCpu - last.onCpu),
                     milliseconds(times.waiting - last.waiting));
    }
    last = times;
    inFlight = false;
    return true;
}

bool GuiStallProbe::eventFilter(QObject* watched, QEvent* event) {
    auto* window = event->type() == QEvent::Expose ? qobject_cast<QQuickWindow*>(watched) : nullptr;
    if (window != nullptr) {
        QCoreApplication::instance()->removeEventFilter(this);
        auto once = std::make_shared<QMetaObject::Connection>();
        *once = connect(
            window, &QQuickWindow::frameSwapped, this,
            [once] {
                std::fprintf(stderr, "gui-first-frame: %.6f\n", seconds(Clock::now()));
                QObject::disconnect(*once);
            },
            Qt::DirectConnection);
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace nimbra::shell
