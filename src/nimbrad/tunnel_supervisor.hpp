#pragma once

#include <sys/types.h>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nimbra::nimbrad {

// Runs usque's TUN client and keeps it running while the tunnel is on.
//
// usque is ready when it logs "Connected to MASQUE server" -- not at "Tunnel established",
// which it prints before it has reached the server. When it exits, it is started again after a
// back-off that doubles from `firstBackoff` up to `maxBackoff` and starts over once a run has
// connected; when it logs that it lost its connection, it is not connected until it says so again.
//
// Every callback and every member function runs on `executor`, which must be a strand (or a
// single-threaded context): the daemon's command strand, so that events and commands never race.
class TunnelSupervisor {
public:
    struct Options {
        std::vector<std::string> argv;
        std::chrono::milliseconds firstBackoff{1000};
        std::chrono::milliseconds maxBackoff{30000};
        // How long stop() gives usque to take its interface down after SIGTERM.
        std::chrono::milliseconds stopGrace{5000};
        // Names the running usque (pid and start token), so that a daemon killed outright can
        // end it at its next start: usque outlives us otherwise and keeps the interface up.
        std::filesystem::path pidFile;
    };
    struct Events {
        std::function<void()> connected;
        // usque exited or lost its connection; the text says which.
        std::function<void(const std::string&)> disconnected;
    };

    TunnelSupervisor(asio::any_io_executor executor, Options options, Events events);
    ~TunnelSupervisor();
    TunnelSupervisor(const TunnelSupervisor&) = delete;
    TunnelSupervisor& operator=(const TunnelSupervisor&) = delete;

    // Starts usque (when not already supervising). Throws SubprocessError when it cannot run,
    // or when it is not a program root may run (see checkProgram) -- which every restart asks
    // again: one that fails is not run and is tried again later, like one that exited.
    void start();
    // Ends usque (SIGTERM, then SIGKILL after the grace) and stops restarting it. Blocks for at
    // most the grace period.
    void stop();

    // Ends the usque that `pidFile` names when that very process still runs; removes the file.
    // Returns whether there was one to end. Blocking (up to about two seconds).
    static bool endLeftover(const std::filesystem::path& pidFile);

    bool supervising() const;
    bool connected() const;
    // The running usque's pid, or -1.
    pid_t pid() const;
    // How often usque has been started again since start().
    unsigned restarts() const;

private:
    struct Run;

    void launch();
    void readLines(std::shared_ptr<Run> run);
    void onLine(const std::string& line);
    void onExit(const std::shared_ptr<Run>& run);
    void scheduleRestart();
    void forgetPid();

    asio::any_io_executor executor_;
    Options options_;
    Events events_;
    std::shared_ptr<Run> run_;
    std::shared_ptr<asio::steady_timer> restartTimer_;
    bool supervising_ = false;
    bool connected_ = false;
    std::chrono::milliseconds backoff_;
    unsigned restarts_ = 0;
};

}  // namespace nimbra::nimbrad
