#include "support/private_dbus_session.hpp"

#include <signal.h>

#include <chrono>
#include <stdexcept>
#include <utility>

#include "base/subprocess_error.hpp"

namespace nimbra::testing {
namespace {

using namespace std::chrono_literals;

Subprocess startDaemon(const std::filesystem::path& socketDir, const std::string& program) {
    std::filesystem::create_directories(socketDir);
    Subprocess::Options options;
    options.argv = {program,
                    "--session",
                    "--nofork",
                    "--nosyslog",
                    "--address=unix:path=" + (socketDir / "bus").string(),
                    "--print-address=1"};
    // Joined: the daemon's few lines (warnings, one per activation) come through the pipe we
    // read the address from, and are drained when it stops. They stay far below a pipe's size.
    options.output = Subprocess::Output::joined;
    try {
        return Subprocess::start(std::move(options));
    } catch (const SubprocessError& error) {
        throw std::runtime_error("cannot start " + program +
                                 " (package dbus-daemon): " + error.what());
    }
}

}  // namespace

PrivateDbusSession::PrivateDbusSession(const std::filesystem::path& socketDir,
                                       const std::string& program)
    : process_(startDaemon(socketDir, program)), pid_(process_.pid()) {
    output_.emplace(process_.releaseStdout());
    const auto deadline = LineReader::Clock::now() + 5s;
    while (address_.empty()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - LineReader::Clock::now());
        auto line = output_->next(std::max(left, 0ms));
        if (!line) break;
        if (line->starts_with("unix:")) address_ = std::move(*line);
    }
    if (address_.empty()) {
        const std::string printed = stop();
        throw std::runtime_error(program + " printed no bus address within 5 s; its output:\n" +
                                 printed);
    }
}

PrivateDbusSession::~PrivateDbusSession() {
    stop();
}

std::string PrivateDbusSession::stop() {
    if (log_) return *log_;
    try {
        // The group is the daemon's own (Subprocess starts every child in a new one), so this
        // reaches dconf-service and the other services it activated, and nothing else.
        process_.signalGroup(SIGTERM);
        if (!process_.wait(3s)) {
            process_.kill();
            process_.wait();
        }
    } catch (const std::exception&) {
        // Only an object without a child throws, and ours always has one.
    }
    // Bounded: a service that outlives the daemon may hold the pipe open a little longer.
    output_->readToEnd(2s);
    log_ = output_->transcript();
    return *log_;
}

}  // namespace nimbra::testing
