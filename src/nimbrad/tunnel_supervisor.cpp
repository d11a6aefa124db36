#include "nimbrad/tunnel_supervisor.hpp"

#include <signal.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "base/atomic_file.hpp"
#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "nimbrad/daemon_log.hpp"
#include "nimbrad/trusted_program.hpp"
#include "system/process_control.hpp"
#include "system/process_identity.hpp"

namespace nimbra::nimbrad {
namespace {

constexpr std::string_view kReadyLine = "Connected to MASQUE server";
// usque's words when a running connection drops and it starts over by itself.
constexpr std::string_view kLostMarker = "connection lost";
// A line longer than this is not a log line; it is cut rather than buffered without end.
constexpr std::size_t kMaxLine = 16 * 1024;

}  // namespace

struct TunnelSupervisor::Run {
    Run(asio::any_io_executor executor, Subprocess child)
        : process(std::move(child)), output(executor, process.releaseStdout()) {}
    Subprocess process;
    asio::posix::stream_descriptor output;
    std::string buffer;
    bool ended = false;
};

TunnelSupervisor::TunnelSupervisor(asio::any_io_executor executor, Options options, Events events)
    : executor_(std::move(executor)),
      options_(std::move(options)),
      events_(std::move(events)),
      backoff_(options_.firstBackoff) {}

TunnelSupervisor::~TunnelSupervisor() {
    stop();
}

bool TunnelSupervisor::supervising() const {
    return supervising_;
}
bool TunnelSupervisor::connected() const {
    return connected_;
}
unsigned TunnelSupervisor::restarts() const {
    return restarts_;
}
pid_t TunnelSupervisor::pid() const {
    return run_ && !run_->ended ? run_->process.pid() : -1;
}

void TunnelSupervisor::start() {
    if (supervising_) return;
    backoff_ = options_.firstBackoff;
    restarts_ = 0;
    launch();
    supervising_ = true;
}

void TunnelSupervisor::stop() {
    supervising_ = false;
    connected_ = false;
    if (restartTimer_) restartTimer_->cancel();  // a pending restart ends without touching us
    restartTimer_.reset();
    auto run = std::exchange(run_, nullptr);
    if (!run || run->ended) return;
    run->ended = true;
    run->process.signal(SIGTERM);
    if (!run->process.wait(options_.stopGrace)) {
        daemonLog("usque did not end within the grace period; killing it");
        run->process.kill();
        run->process.wait();
    }
    asio::error_code ignored;
    run->output.close(ignored);
    forgetPid();
}

void TunnelSupervisor::forgetPid() {
    std::error_code ignored;
    if (!options_.pidFile.empty()) std::filesystem::remove(options_.pidFile, ignored);
}

bool TunnelSupervisor::endLeftover(const std::filesystem::path& pidFile) {
    const auto text = readWholeFile(pidFile);
    std::error_code ignored;
    std::filesystem::remove(pidFile, ignored);
    if (!text) return false;
    const auto space = text->find(' ');
    if (space == std::string::npos) return false;
    pid_t pid = 0;
    const auto* end = text->data() + space;
    if (std::from_chars(text->data(), end, pid).ptr != end || pid <= 0) return false;
    const std::string token(text::trim(std::string_view(*text).substr(space + 1)));
    // The token tells this usque from a later process that got the same pid.
    if (!process_identity::isRunning(pid, token)) return false;
    process_control::terminatePid(pid);
    return true;
}

// usque runs as root, and what its path names may change while it runs (a link re-pointed, the
// file replaced): a program that was fine at the first start proves nothing about a restart. So
// every launch checks the program again and runs the location that passed -- free of links, in
// folders only root can write -- never the path it was given.
void TunnelSupervisor::launch() {
    const auto program = checkProgram(options_.argv.empty() ? "" : options_.argv.front());
    if (program.refusal) throw SubprocessError(EPERM, "refusing to run usque: " + *program.refusal);
    Subprocess::Options spawn;
    spawn.argv = options_.argv;
    spawn.argv.front() = program.location.string();
    spawn.output = Subprocess::Output::joined;
    run_ = std::make_shared<Run>(executor_, Subprocess::start(std::move(spawn)));
    const pid_t pid = run_->process.pid();
    daemonLog("usque started (pid " + std::to_string(pid) + ")");
    if (!options_.pidFile.empty()) {
        try {
            writeFileAtomically(options_.pidFile, std::to_string(pid) + " " +
                                                      process_identity::startToken(pid) + "\n");
        } catch (const std::exception& failure) {
            daemonLog(std::string("cannot record usque's pid: ") + failure.what());
        }
    }
    readLines(run_);
}

void TunnelSupervisor::readLines(std::shared_ptr<Run> run) {
    asio::async_read_until(
        run->output, asio::dynamic_buffer(run->buffer, kMaxLine), '\n',
        [this, run](const asio::error_code& error, std::size_t length) {
            if (run->ended) return;  // stopped, or replaced: this run is no longer ours
            if (error == asio::error::not_found) {  // an overlong line: drop it, keep reading
                run->buffer.clear();
                return readLines(run);
            }
            if (error) return onExit(run);
            std::string line = run->buffer.substr(0, length - 1);
            run->buffer.erase(0, length);
            onLine(line);
            readLines(run);
        });
}

void TunnelSupervisor::onLine(const std::string& line) {
    daemonLog("usque: " + line);
    if (line.find(kReadyLine) != std::string::npos) {
        backoff_ = options_.firstBackoff;
        if (!connected_) {
            connected_ = true;
            if (events_.connected) events_.connected();
        }
    } else if (connected_ && line.find(kLostMarker) != std::string::npos) {
        connected_ = false;
        if (events_.disconnected) events_.disconnected("usque lost its connection: " + line);
    }
}

// The output closed: usque has ended (or is about to). Reap it and try again later.
void TunnelSupervisor::onExit(const std::shared_ptr<Run>& run) {
    run->ended = true;
    auto status = run->process.wait(options_.stopGrace);
    if (!status) {
        run->process.kill();
        status = run->process.wait();
    }
    forgetPid();
    const std::string reason = "usque exited with status " + std::to_string(status->code);
    daemonLog(reason);
    connected_ = false;
    if (events_.disconnected) events_.disconnected(reason);
    if (supervising_) scheduleRestart();
}

void TunnelSupervisor::scheduleRestart() {
    auto timer = std::make_shared<asio::steady_timer>(executor_, backoff_);
    restartTimer_ = timer;
    daemonLog("restarting usque in " + std::to_string(backoff_.count()) + " ms");
    backoff_ = std::min(backoff_ * 2, options_.maxBackoff);
    timer->async_wait([this, timer](const asio::error_code& error) {
        if (error || restartTimer_ != timer || !supervising_) return;
        restartTimer_.reset();
        try {
            ++restarts_;
            launch();
        } catch (const std::exception& failure) {
            daemonLog(std::string("cannot start usque: ") + failure.what());
            if (events_.disconnected) events_.disconnected(failure.what());
            scheduleRestart();
        }
    });
}

}  // namespace nimbra::nimbrad
