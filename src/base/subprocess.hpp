#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/subprocess_error.hpp"
#include "base/unique_fd.hpp"

namespace nimbra {

// One child process, started directly with posix_spawn -- never through a shell, so arguments
// reach the program exactly as given and nothing in them is ever interpreted.
//
// The child starts with stdin on /dev/null and no other descriptor of ours, an empty signal mask,
// default signal dispositions and a process group of its own (so kill() can take down helpers it
// starts, too). While waiting, the object drains the child's output pipes itself, so a chatty child
// never blocks on a full pipe; takeStdout()/takeStderr() return what was read. A caller that wants
// to stream the output reads a released descriptor instead.
//
// Destroying the object while the child still runs kills the child's group and reaps the child:
// no zombies, no orphans. detach() is the way out for a child meant to outlive the object.
//
// A stop request of the thread's StopScope (a cancelled task whose blocking step this is) ends
// the wait: the child's group is killed and reaped, and start(), run() and wait() throw the
// cancellation error (base/async/cancellation.hpp). Nothing else is interrupted.
//
// One object is used from one thread at a time; separate objects on separate threads are
// independent (there is no shared state besides reading the environment).
class Subprocess {
public:
    struct Options {
        // argv[0] is the program. Without a '/', it is looked up in the PATH of *this* process,
        // even when `environment` gives the child a different one.
        std::vector<std::string> argv;
        // The child's complete environment as "NAME=value" entries; nullopt inherits ours.
        std::optional<std::vector<std::string>> environment;
        std::optional<std::filesystem::path> workingDirectory;

        enum class Output {
            separate,  // stdout and stderr in two pipes
            joined,    // stderr goes into the stdout pipe, interleaved as the child wrote it
            discard,   // both go to /dev/null
        };
        Output output = Output::separate;
    };
    using Output = Options::Output;

    struct ExitStatus {
        // The exit code, or 128 + the signal number after a death by signal (the shell's way).
        int code = 0;
        // The signal that killed the child, if one did.
        std::optional<int> signal;

        bool succeeded() const { return code == 0; }
    };

    struct RunResult {
        ExitStatus status;
        std::string out;
        std::string err;
        bool timedOut = false;  // the child overran and was killed; `status` says SIGKILL
    };

    // Launches the child. Throws SubprocessError when it cannot run: missing program, no
    // permission, missing working directory, out of descriptors.
    static Subprocess start(Options options);

    // Starts the child and waits up to `timeout` for it. A child that overruns is killed with its
    // whole process group and reaped. Returns everything it wrote. Throws SubprocessError like
    // start().
    static RunResult run(Options options, std::chrono::milliseconds timeout);

    Subprocess(Subprocess&& other) noexcept;
    Subprocess& operator=(Subprocess&& other) noexcept;
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;
    ~Subprocess();

    // -1 once detached or moved from.
    pid_t pid() const { return pid_; }

    // Non-blocking; reaps the child if it has just exited.
    bool running();

    // Waits for the child to exit, reading its output meanwhile. nullopt on time-out; the output
    // read so far stays buffered. Once the child has exited, every call returns the same status.
    // Throws std::logic_error on an object without a child (detached or moved from).
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    ExitStatus wait();

    // Sends `sig` to the child alone / to its whole process group. No effect once the child has
    // been reaped: its pid may belong to someone else by then.
    void signal(int sig);
    void signalGroup(int sig);

    // SIGKILL to the child's process group. Does not wait; wait() collects the status.
    void kill();

    // Everything read from the pipe so far, removed from the buffer. After wait() has returned a
    // status this is the child's whole output (joined mode: all of it is in takeStdout()).
    std::string takeStdout();
    std::string takeStderr();

    // Hands the read end of a pipe to the caller, who then reads (and closes) it; this object
    // stops draining it. Output read before the call stays in takeStdout()/takeStderr(). Returns
    // -1 if there is no such pipe (Output::discard, Output::joined for stderr, already released).
    // The descriptor is blocking and close-on-exec.
    int releaseStdout();
    int releaseStderr();

    // Lets the child outlive this object: nothing kills or reaps it any more. Pipes not yet
    // released are closed, so a child that keeps writing to them dies of SIGPIPE -- release them
    // first, or use Output::discard. The caller must reap the returned pid (waitpid) or it stays
    // a zombie until Nimbra exits.
    pid_t detach();

private:
    using Clock = std::chrono::steady_clock;

    Subprocess() = default;

    std::optional<ExitStatus> waitUntil(std::optional<Clock::time_point> deadline);
    bool reap(bool block);
    bool pump(int timeoutMs, int wakeFd = -1);
    void drainPipes();
    void terminate() noexcept;

    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    UniqueFd stdout_;
    UniqueFd stderr_;
    UniqueFd exitEvent_;  // a pidfd: readable once the child has exited
    std::string out_;
    std::string err_;
};

}  // namespace nimbra
