#include "observe/resume_watcher.hpp"

#include <utility>

#include "base/log.hpp"

#ifdef __linux__
#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>
#endif

namespace nimbra {

namespace {
constexpr const char* kLog = "resume-watch";
}  // namespace

#ifdef __linux__

namespace {

std::string errorText(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

std::chrono::microseconds untilMonotonic(std::uint64_t deadlineUsec) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1'000'000U +
                         static_cast<std::uint64_t>(now.tv_nsec) / 1'000U;
    if (deadlineUsec <= nowUsec) return std::chrono::microseconds(0);
    return std::chrono::microseconds(static_cast<std::int64_t>(deadlineUsec - nowUsec));
}

}  // namespace

// The bus connection and everything its waits touch. The waits hold it, so a watcher that stops
// (or goes) while one is pending leaves them something valid to find closed. sd-bus calls back
// only from inside sd_bus_process(), which runs only while the session is open.
struct ResumeWatcher::Session {
    using Shared = std::shared_ptr<Session>;

    Session(const asio::any_io_executor& executor, std::function<void()> callback)
        : core(executor), descriptor(executor), timer(executor), onResume(std::move(callback)) {}
    ~Session() { close(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    asio::any_io_executor core;
    asio::posix::stream_descriptor descriptor;  // the bus's socket, lent by sd-bus
    asio::steady_timer timer;                   // sd-bus's own deadline (method call time-outs)
    std::function<void()> onResume;
    sd_bus* bus = nullptr;
    std::weak_ptr<Session> self;
    bool open = true;
    bool subscribed = false;
    bool reading = false;
    bool writing = false;

    void close() {
        open = false;
        subscribed = false;
        timer.cancel();
        if (descriptor.is_open()) {
            std::error_code ignored;
            descriptor.cancel(ignored);
            descriptor.release();  // sd-bus owns the descriptor and closes it itself
        }
        if (bus != nullptr) bus = sd_bus_close_unref(bus);
    }

    void fail(const std::string& what) {
        logLine(kLog, what + "; waking from suspend goes unnoticed until the next health check");
        close();
    }

    // Lets sd-bus do all it can without blocking, then waits for what it wants next: its socket
    // readable or writable, or its deadline.
    static void pump(const Shared& session) {
        for (;;) {
            const int processed = sd_bus_process(session->bus, nullptr);
            if (processed < 0) {
                session->fail("the system bus connection failed: " + errorText(processed));
                return;
            }
            if (processed == 0) break;
        }
        const int events = sd_bus_get_events(session->bus);
        if (events < 0) {
            session->fail("the system bus connection failed: " + errorText(events));
            return;
        }
        if ((events & POLLIN) != 0 && !session->reading) {
            session->reading = true;
            waitFor(session, asio::posix::stream_descriptor::wait_read, &Session::reading);
        }
        if ((events & POLLOUT) != 0 && !session->writing) {
            session->writing = true;
            waitFor(session, asio::posix::stream_descriptor::wait_write, &Session::writing);
        }
        std::uint64_t deadline = UINT64_MAX;
        if (sd_bus_get_timeout(session->bus, &deadline) >= 0 && deadline != UINT64_MAX) {
            session->timer.expires_after(untilMonotonic(deadline));
            session->timer.async_wait([session](const std::error_code& error) {
                if (!error && session->open) pump(session);
            });
        } else {
            session->timer.cancel();
        }
    }

    static void waitFor(const Shared& session, asio::posix::stream_descriptor::wait_type type,
                        bool Session::*pending) {
        session->descriptor.async_wait(type, [session, pending](const std::error_code& error) {
            session.get()->*pending = false;
            if (!session->open) return;
            if (error) {
                session->fail("waiting on the system bus failed: " + error.message());
                return;
            }
            pump(session);
        });
    }

    // The bus's answer to our AddMatch.
    static int onSubscribed(sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* session = static_cast<Session*>(userdata);
        if (const sd_bus_error* error = sd_bus_message_get_error(reply); error != nullptr) {
            logLine(kLog, std::string("the system bus refused the sleep signal: ") +
                              (error->message != nullptr ? error->message : error->name));
            return 0;
        }
        session->subscribed = true;
        return 0;
    }

    static int onPrepareForSleep(sd_bus_message* signal, void* userdata, sd_bus_error*) {
        auto* session = static_cast<Session*>(userdata);
        int goingToSleep = 0;
        if (sd_bus_message_read(signal, "b", &goingToSleep) < 0 || goingToSleep != 0) return 0;
        // Posted, not called: the callback may stop the watcher, which must not close the bus
        // under sd_bus_process().
        asio::post(session->core, [weak = session->self] {
            const auto alive = weak.lock();
            if (alive && alive->open) alive->onResume();
        });
        return 0;
    }
};

ResumeWatcher::ResumeWatcher(asio::any_io_executor core, std::function<void()> onResume)
    : core_(std::move(core)), onResume_(std::move(onResume)) {}

ResumeWatcher::~ResumeWatcher() {
    stop();
}

void ResumeWatcher::start() {
    if (session_ && session_->open) return;
    session_.reset();

    auto session = std::make_shared<Session>(core_, onResume_);
    session->self = session;
    if (const int r = sd_bus_open_system(&session->bus); r < 0) {
        session->bus = nullptr;
        session->fail("cannot reach the system bus: " + errorText(r));
        return;
    }
    // No sender in the rule: a signal forged by another client of the bus costs one early
    // health check and nothing more, and logind's name is not ours to check on every system.
    if (const int r = sd_bus_match_signal_async(
            session->bus, nullptr, nullptr, "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "PrepareForSleep", &Session::onPrepareForSleep,
            &Session::onSubscribed, session.get());
        r < 0) {
        session->fail("cannot ask the system bus for the sleep signal: " + errorText(r));
        return;
    }
    const int fd = sd_bus_get_fd(session->bus);
    if (fd < 0) {
        session->fail("the system bus has no descriptor to watch: " + errorText(fd));
        return;
    }
    std::error_code error;
    session->descriptor.assign(fd, error);
    if (error) {
        session->fail("cannot watch the system bus: " + error.message());
        return;
    }
    session_ = session;
    Session::pump(session);
}

void ResumeWatcher::stop() {
    if (!session_) return;
    session_->close();
    session_.reset();
}

bool ResumeWatcher::listening() const {
    return session_ && session_->open && session_->subscribed;
}

#else  // !__linux__

// Other systems get their own way of hearing a wake-up; until then the watcher stays off and the
// health monitor's own interval notices a dead tunnel.
struct ResumeWatcher::Session {};

ResumeWatcher::ResumeWatcher(asio::any_io_executor core, std::function<void()> onResume)
    : core_(std::move(core)), onResume_(std::move(onResume)) {}

ResumeWatcher::~ResumeWatcher() = default;

void ResumeWatcher::start() {
    logLine(kLog, "not available on this system; wake-ups wait for the next health check");
}

void ResumeWatcher::stop() {}

bool ResumeWatcher::listening() const {
    return false;
}

#endif

}  // namespace nimbra
