#pragma once

// Runs the dns-standin program (main.cpp beside this file) for the life of the object. Header
// only, so that the tests and the DNS benchmark can both use it.
//
//     DnsStandinProcess upstream({.address = "192.0.2.7", .drop = true});
//     forwarder.setUpstream({asio::ip::make_address("127.0.0.1"), upstream.port()});

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"

namespace nimbra::testing {

class DnsStandinProcess {
public:
    struct Options {
        std::string address = "192.0.2.1";
        int delayMs = 0;
        bool drop = false;
        bool truncate = false;
        // DNS-over-HTTPS on the port instead (the trace stand-in's test certificate).
        bool doh = false;
    };

    DnsStandinProcess() : DnsStandinProcess(Options{}) {}
    // Starts the program and waits (up to 30 s: CI machines can be slow) for its "listening"
    // line; throws otherwise.
    explicit DnsStandinProcess(const Options& options) : process_(spawn(options)) {
        stdout_.reset(process_.releaseStdout());
        port_ = readPort();
        if (port_ == 0) {
            process_.kill();
            throw std::runtime_error("dns-standin did not start");
        }
    }
    ~DnsStandinProcess() {
        process_.signal(SIGTERM);
        if (!process_.wait(std::chrono::seconds(3))) process_.kill();
    }
    DnsStandinProcess(const DnsStandinProcess&) = delete;
    DnsStandinProcess& operator=(const DnsStandinProcess&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return process_.pid(); }

    static std::string programPath() { return std::string(NIMBRA_STANDIN_DIR) + "/dns-standin"; }

private:
    static Subprocess spawn(const Options& options) {
        Subprocess::Options spawn;
        spawn.argv = {programPath(),
                      "--port",
                      "0",
                      "--address",
                      options.address,
                      "--delay-ms",
                      std::to_string(options.delayMs),
                      "--exit-with-parent"};
        if (options.drop) spawn.argv.push_back("--drop");
        if (options.truncate) spawn.argv.push_back("--truncate");
        if (options.doh) spawn.argv.push_back("--doh");
        return Subprocess::start(std::move(spawn));
    }

    std::uint16_t readPort() {
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return 0;
            pollfd pfd{stdout_.get(), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()) + 1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return 0;
            char buffer[128];
            const ssize_t got = ::read(stdout_.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return 0;
            line.append(buffer, static_cast<std::size_t>(got));
        }
        unsigned port = 0;
        if (std::sscanf(line.c_str(), "listening port=%u", &port) != 1 || port > 65535) return 0;
        return static_cast<std::uint16_t>(port);
    }

    Subprocess process_;
    UniqueFd stdout_;
    std::uint16_t port_ = 0;
};

}  // namespace nimbra::testing
