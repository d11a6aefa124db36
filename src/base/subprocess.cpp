#include "base/subprocess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <system_error>
#include <utility>

#include "base/async/cancellation.hpp"
#include "base/stop_event.hpp"
#include "base/stop_scope.hpp"

extern char** environ;

namespace nimbra {
namespace {

using Clock = std::chrono::steady_clock;

// A pipe holds 64 KiB by default, so one read can empty a full one.
constexpr size_t kReadChunk = 64 * 1024;

// Without a pidfd nothing wakes poll() when the child exits; this bounds how late we notice.
constexpr int kLongestPollSliceMs = 25;

std::string errnoText(int code) {
    return std::generic_category().message(code);
}

[[noreturn]] void fail(int code, const std::string& what) {
    throw SubprocessError(code, what + ": " + errnoText(code));
}

void check(int rc, const char* what) {
    if (rc != 0) fail(rc, what);
}

// pipe2() hands out 0, 1 or 2 when our own stdio is closed. dup2() onto the same number would keep
// the close-on-exec flag and the child would lose that stream, so pipe ends stay above stdio.
UniqueFd aboveStdio(UniqueFd fd) {
    if (fd.get() > STDERR_FILENO) return fd;
    UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    if (!moved.valid()) fail(errno, "cannot create a pipe");
    return moved;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// Close-on-exec on both ends: a child spawned by another thread at the same moment must not
// inherit them, or our reader would not see end of file until that unrelated child exits.
Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail(errno, "cannot create a pipe");
    UniqueFd readEnd(fds[0]);
    UniqueFd writeEnd(fds[1]);
    return {aboveStdio(std::move(readEnd)), aboveStdio(std::move(writeEnd))};
}

// posix_spawn's helper objects must be destroyed on every path out of start().
class SpawnFileActions {
public:
    SpawnFileActions() { check(::posix_spawn_file_actions_init(&actions_), "cannot launch"); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    void open(int fd, const char* path, int flags) {
        check(::posix_spawn_file_actions_addopen(&actions_, fd, path, flags, 0), "cannot launch");
    }
    void dup2(int from, int to) {
        check(::posix_spawn_file_actions_adddup2(&actions_, from, to), "cannot launch");
    }
    void closeFrom(int lowest) {
        check(::posix_spawn_file_actions_addclosefrom_np(&actions_, lowest), "cannot launch");
    }
    void chdir(const std::filesystem::path& directory) {
        check(::posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str()),
              "cannot launch");
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// The child gets a process group of its own, so kill() reaches whatever it starts in turn, and a
// clean signal state: a thread of ours that blocks or ignores a signal must not pass that on, or
// the child could become impossible to stop with SIGTERM.
class SpawnAttributes {
public:
    SpawnAttributes() {
        check(::posix_spawnattr_init(&attributes_), "cannot launch");
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        ::posix_spawnattr_setsigdefault(&attributes_, &all);
        ::posix_spawnattr_setpgroup(&attributes_, 0);
        ::posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

std::vector<char*> pointersTo(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (const auto& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// stdin always reads from /dev/null: a child waiting for input nobody will send would hang.
// stdout and stderr go where `mode` says, into fresh pipes when we read them.
void routeStreams(SpawnFileActions& actions, Subprocess::Output mode, Pipe& out, Pipe& err) {
    actions.open(STDIN_FILENO, "/dev/null", O_RDONLY);
    switch (mode) {
        case Subprocess::Output::separate:
            out = makePipe();
            err = makePipe();
            actions.dup2(out.write.get(), STDOUT_FILENO);
            actions.dup2(err.write.get(), STDERR_FILENO);
            break;
        case Subprocess::Output::joined:
            out = makePipe();
            actions.dup2(out.write.get(), STDOUT_FILENO);
            actions.dup2(STDOUT_FILENO, STDERR_FILENO);
            break;
        case Subprocess::Output::discard:
            actions.open(STDOUT_FILENO, "/dev/null", O_WRONLY);
            actions.open(STDERR_FILENO, "/dev/null", O_WRONLY);
            break;
    }
}

// Returns posix_spawn's result: 0, or the errno of whatever failed, the exec included.
int spawn(pid_t& pid, const Subprocess::Options& options, const SpawnFileActions& actions) {
    const SpawnAttributes attributes;
    const auto argv = pointersTo(options.argv);
    const auto envp = options.environment ? pointersTo(*options.environment) : std::vector<char*>{};
    char* const* environment = options.environment ? envp.data() : environ;
    const char* program = options.argv.front().c_str();
    if (options.argv.front().find('/') == std::string::npos) {
        return ::posix_spawnp(&pid, program, actions.get(), attributes.get(), argv.data(),
                              environment);
    }
    return ::posix_spawn(&pid, program, actions.get(), attributes.get(), argv.data(), environment);
}

// glibc reports a failed chdir or exec in the child as posix_spawn's own result, so the message
// names the directory too: it may be the part that does not exist.
std::string launchFailure(const Subprocess::Options& options, int code) {
    std::string message = "cannot launch " + options.argv.front();
    if (options.workingDirectory) message += " in " + options.workingDirectory->string();
    return message + ": " + errnoText(code);
}

// A pidfd turns "the child has exited" into a poll() event, so waiting needs no periodic
// wake-ups. Old kernels and some sandboxes refuse it; waiting then falls back to short slices.
UniqueFd openExitEvent(pid_t pid) {
#ifdef SYS_pidfd_open
    return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
    (void)pid;
    return UniqueFd();
#endif
}

Subprocess::ExitStatus decode(int raw) {
    if (WIFSIGNALED(raw)) return {128 + WTERMSIG(raw), WTERMSIG(raw)};
    return {WEXITSTATUS(raw), std::nullopt};
}

// Reads what poll() said is there. End of file or a read error closes our end; returns whether
// the pipe had anything to say.
bool readChunk(UniqueFd& fd, std::string& into) {
    const size_t before = into.size();
    into.resize(before + kReadChunk);
    const ssize_t n = ::read(fd.get(), into.data() + before, kReadChunk);
    const int error = errno;
    into.resize(before + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n > 0) return true;
    if (n < 0 && error == EINTR) return false;
    fd.reset();
    return true;
}

int millisecondsUntil(std::optional<Clock::time_point> deadline) {
    if (!deadline) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(
        left.count(), 0, std::numeric_limits<int>::max()));
}

// Far-off deadlines would overflow the clock's nanosecond count; they mean "no deadline".
std::optional<Clock::time_point> deadlineAfter(std::chrono::milliseconds timeout) {
    if (timeout > std::chrono::hours(24 * 365)) return std::nullopt;
    return Clock::now() + timeout;
}

}  // namespace

Subprocess Subprocess::start(Options options) {
    if (options.argv.empty()) throw SubprocessError(EINVAL, "cannot launch: empty command line");
    if (currentStopToken().stop_requested()) throw cancellationError();

    Pipe out;
    Pipe err;
    SpawnFileActions actions;
    routeStreams(actions, options.output, out, err);
    // Close-on-exec is each opener's promise, and not every opener keeps it (Asio opens its
    // sockets without it): a child that inherited a listening socket of ours would hold its port
    // for as long as the child lives, even past our own restart. It keeps its three streams only.
    actions.closeFrom(STDERR_FILENO + 1);
    if (options.workingDirectory) actions.chdir(*options.workingDirectory);

    pid_t pid = -1;
    if (const int rc = spawn(pid, options, actions); rc != 0) {
        throw SubprocessError(rc, launchFailure(options, rc));
    }

    // The write ends close when `out` and `err` go out of scope, leaving the child as their only
    // holder: its exit is then end of file for us.
    Subprocess child;
    child.pid_ = pid;
    child.stdout_ = std::move(out.read);
    child.stderr_ = std::move(err.read);
    child.exitEvent_ = openExitEvent(pid);
    return child;
}

Subprocess::RunResult Subprocess::run(Options options, std::chrono::milliseconds timeout) {
    Subprocess child = start(std::move(options));
    RunResult result;
    auto status = child.wait(timeout);
    if (!status) {
        result.timedOut = true;
        child.kill();
        status = child.wait();
    }
    result.status = *status;
    result.out = child.takeStdout();
    result.err = child.takeStderr();
    return result;
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      status_(std::exchange(other.status_, std::nullopt)),
      stdout_(std::move(other.stdout_)),
      stderr_(std::move(other.stderr_)),
      exitEvent_(std::move(other.exitEvent_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)) {}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
    if (this == &other) return *this;
    terminate();
    pid_ = std::exchange(other.pid_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
    stdout_ = std::move(other.stdout_);
    stderr_ = std::move(other.stderr_);
    exitEvent_ = std::move(other.exitEvent_);
    out_ = std::move(other.out_);
    err_ = std::move(other.err_);
    return *this;
}

Subprocess::~Subprocess() {
    terminate();
}

void Subprocess::terminate() noexcept {
    if (pid_ <= 0 || status_) return;
    kill();
    reap(true);
}

bool Subprocess::running() {
    return pid_ > 0 && !reap(false);
}

std::optional<Subprocess::ExitStatus> Subprocess::wait(std::chrono::milliseconds timeout) {
    return waitUntil(deadlineAfter(timeout));
}

Subprocess::ExitStatus Subprocess::wait() {
    return *waitUntil(std::nullopt);
}

std::optional<Subprocess::ExitStatus> Subprocess::waitUntil(
    std::optional<Clock::time_point> deadline) {
    if (pid_ <= 0) throw std::logic_error("Subprocess: no child to wait for");
    const StopEvent stop;
    bool expired = false;
    int sliceMs = 1;
    while (!reap(false)) {
        if (stop.requested()) {
            terminate();
            drainPipes();
            throw cancellationError();
        }
        if (expired) return std::nullopt;
        int timeoutMs = millisecondsUntil(deadline);
        if (!exitEvent_.valid()) {
            timeoutMs = timeoutMs < 0 ? sliceMs : std::min(timeoutMs, sliceMs);
            sliceMs = std::min(sliceMs * 2, kLongestPollSliceMs);
        }
        pump(timeoutMs, stop.fd());
        expired = deadline && Clock::now() >= *deadline;
    }
    drainPipes();
    return status_;
}

// Collects the exit status if there is one; with `block`, waits for it.
bool Subprocess::reap(bool block) {
    if (status_) return true;
    int raw = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return false;
    // ECHILD: someone else reaped the child (SIGCHLD set to SIG_IGN). It is gone all the same,
    // only its status is lost.
    status_ = result > 0 ? decode(raw) : ExitStatus{-1, std::nullopt};
    exitEvent_.reset();
    return true;
}

// One poll() over the pipes (and the exit event, and `wakeFd` when given) for at most
// `timeoutMs`; reads whatever became ready. Returns whether anything happened on a pipe.
bool Subprocess::pump(int timeoutMs, int wakeFd) {
    pollfd fds[4];
    nfds_t count = 0;
    for (const UniqueFd* fd : {&stdout_, &stderr_, &exitEvent_}) {
        if (fd->valid()) fds[count++] = pollfd{fd->get(), POLLIN, 0};
    }
    if (wakeFd >= 0) fds[count++] = pollfd{wakeFd, POLLIN, 0};
    const int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0) return errno == EINTR;
    bool progressed = false;
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;
        if (fds[i].fd == stdout_.get()) {
            progressed |= readChunk(stdout_, out_);
        } else if (fds[i].fd == stderr_.get()) {
            progressed |= readChunk(stderr_, err_);
        }
    }
    return progressed;
}

// After the exit, reads what is left in the pipes without waiting: a helper the child left
// behind may hold them open, and its output is not worth hanging for.
void Subprocess::drainPipes() {
    while (pump(0)) {
    }
}

void Subprocess::signal(int sig) {
    if (pid_ <= 0 || status_) return;
    if (::kill(pid_, sig) != 0 && errno != ESRCH) {
        throw std::system_error(errno, std::generic_category(), "cannot signal the child");
    }
}

void Subprocess::signalGroup(int sig) {
    if (pid_ <= 0 || status_) return;
    if (::kill(-pid_, sig) != 0 && errno != ESRCH) {
        throw std::system_error(errno, std::generic_category(), "cannot signal the child's group");
    }
}

void Subprocess::kill() {
    if (pid_ <= 0 || status_) return;
    // The child itself is hit directly as well, in case it moved to a group of its own.
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
}

std::string Subprocess::takeStdout() {
    return std::exchange(out_, {});
}

std::string Subprocess::takeStderr() {
    return std::exchange(err_, {});
}

int Subprocess::releaseStdout() {
    return stdout_.release();
}

int Subprocess::releaseStderr() {
    return stderr_.release();
}

pid_t Subprocess::detach() {
    stdout_.reset();
    stderr_.reset();
    exitEvent_.reset();
    return std::exchange(pid_, -1);
}

}  // namespace nimbra
