#include "apprules/detached_spawn.hpp"

#include <fcntl.h>
#include <glib.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "apprules/app_launch_error.hpp"
#include "base/log.hpp"
#include "base/unique_fd.hpp"

namespace nimbra::apprules {
namespace {

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

[[noreturn]] void startFailed(const std::string& what, int code) {
    throw AppLaunchError(AppLaunchError::Kind::startFailed, what + ": " + std::strerror(code));
}

// Close-on-exec, so that no program another thread starts meanwhile holds an end open.
Pipe closeOnExecPipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) startFailed("pipe", errno);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// The lookup happens here, before the fork: the child may only make async-signal-safe calls.
std::string programPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    gchar* found = g_find_program_in_path(name.c_str());
    if (found == nullptr) startFailed(name, ENOENT);
    std::string path = found;
    g_free(found);
    return path;
}

std::vector<char*> cStrings(const std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (const auto& s : strings) pointers.push_back(const_cast<char*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Everything the child needs, made before the fork.
struct Prepared {
    std::string path;
    std::vector<char*> argv;
    std::vector<char*> envp;
    const char* folder = nullptr;
    int devNull = -1;
    int gate = -1;        // read end: EOF once the program may run
    int gateOpener = -1;  // its write end, which the child must not hold itself
    int report = -1;      // write end: the exec's errno, or nothing once it succeeded
    int openMax = 0;      // where the descriptor walk stops when close_range is missing
};

[[noreturn]] void reportAndExit(int report) {
    const int code = errno;
    (void)!::write(report, &code, sizeof code);
    ::_exit(127);
}

// Async-signal-safe calls only from here on: the fork copied one thread of a process that runs
// many, and any lock another thread held stays held.
[[noreturn]] void becomeProgram(const Prepared& p) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Handlers are reset by exec, but an ignored signal (SIGPIPE, say) would stay ignored.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
    for (int fd = 0; fd <= 2; ++fd) ::dup2(p.devNull, fd);
    // Descriptors another thread opened without close-on-exec must not reach the program.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        for (int fd = 3; fd < p.openMax; ++fd) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::close(p.gateOpener);
    char ignored;
    while (::read(p.gate, &ignored, 1) < 0 && errno == EINTR) {
    }
    if (p.folder != nullptr && ::chdir(p.folder) != 0) reportAndExit(p.report);
    ::execve(p.path.c_str(), p.argv.data(), p.envp.data());
    reportAndExit(p.report);
}

// The intermediate child: starts the program's process, tells its pid and leaves, so the
// program is reparented away from us at once.
[[noreturn]] void startOrphan(const Prepared& p, int pidReport) {
    const pid_t pid = ::fork();
    if (pid == 0) becomeProgram(p);
    const int code = errno;
    (void)!::write(pidReport, &pid, sizeof pid);
    if (pid < 0) (void)!::write(pidReport, &code, sizeof code);
    ::_exit(0);
}

template <typename T>
bool readValue(int fd, T& value) {
    ssize_t n;
    while ((n = ::read(fd, &value, sizeof value)) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof value);
}

void reap(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

pid_t spawnDetached(const DetachedCommand& command, const BeforeExec& beforeExec) {
    if (command.argv.empty()) startFailed("no program", EINVAL);
    Prepared p;
    p.path = programPath(command.argv.front());
    p.argv = cStrings(command.argv);
    p.envp = cStrings(command.environment);
    if (!command.workingDirectory.empty()) p.folder = command.workingDirectory.c_str();
    UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull.valid()) startFailed("/dev/null", errno);
    Pipe gate = closeOnExecPipe();
    Pipe report = closeOnExecPipe();
    Pipe pidReport = closeOnExecPipe();
    p.devNull = devNull.get();
    p.gate = gate.readEnd.get();
    p.gateOpener = gate.writeEnd.get();
    p.openMax = static_cast<int>(::sysconf(_SC_OPEN_MAX));
    p.report = report.writeEnd.get();

    const pid_t intermediate = ::fork();
    if (intermediate < 0) startFailed("fork", errno);
    if (intermediate == 0) startOrphan(p, pidReport.writeEnd.get());
    // Our copies of the child's ends go, so each read below ends when the child's do.
    gate.readEnd.reset();
    report.writeEnd.reset();
    pidReport.writeEnd.reset();
    reap(intermediate);

    pid_t pid = -1;
    if (!readValue(pidReport.readEnd.get(), pid)) startFailed("fork", EAGAIN);
    if (pid < 0) {
        int code = EAGAIN;
        readValue(pidReport.readEnd.get(), code);
        startFailed("fork", code);
    }
    if (beforeExec) {
        try {
            beforeExec(pid);
        } catch (const std::exception& failure) {
            logLine("launch", failure.what());
        }
    }
    gate.writeEnd.reset();
    int code = 0;
    if (readValue(report.readEnd.get(), code)) startFailed(command.argv.front(), code);
    return pid;
}

}  // namespace nimbra::apprules
