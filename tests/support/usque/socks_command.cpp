#include "socks_command.hpp"

#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "host_map.hpp"
#include "log.hpp"
#include "socks5_server.hpp"
#include "tunnel_simulation.hpp"

namespace nimbra::standin {
namespace {

bool configLoads(const std::string& path) {
    std::ifstream file(path);
    if (!file) return false;
    const auto config = nlohmann::json::parse(file, nullptr, false);
    return !config.is_discarded() && config.is_object();
}

// Gives a copy of the listening socket to a short-lived process that is not usque, so the port
// stays held after usque itself has gone: how tests make a stop that cannot free the port.
void leakListenerToSleeper(int listener) {
    if (::fork() == 0) {
        ::dup2(listener, 3);
        ::execl("/bin/sleep", "sleep", "10", static_cast<char*>(nullptr));
        ::_exit(127);
    }
}

}  // namespace

int runSocks(const StandinOptions& options) {
    // Signals are caught from the start: a stop request during start-up still ends with 0.
    asio::io_context io;
    asio::signal_set signals(io, SIGTERM, SIGINT);
    if (!configLoads(options.configPath)) {
        logLine("Config not loaded. Please register first.");
        return 0;
    }
    const HostMap hosts = HostMap::parse(options.hosts);
    std::error_code error;
    const auto address = asio::ip::make_address(options.bindAddress, error);
    if (error) throw UsageError("invalid bind address \"" + options.bindAddress + "\"");
    // Tests must never open a port beyond this machine.
    if (!address.is_loopback()) {
        throw UsageError("the stand-in binds loopback addresses only, not " + options.bindAddress);
    }

    const std::string host =
        address.is_v6() ? "[" + options.bindAddress + "]" : options.bindAddress;
    const std::string where = host + ":" + std::to_string(options.port);
    logLine("SOCKS proxy listening on " + where);
    for (const auto& line : options.preLines) logLine(line);
    if (options.exitEarlyLine) {
        logLine(*options.exitEarlyLine);
        return options.exitCode;
    }
    if (options.quicExitEarlyLine && !options.http2) {
        logLine(*options.quicExitEarlyLine);
        return options.exitCode;
    }

    Socks5Server server(io, hosts);
    if (const auto failure = server.listen({address, options.port})) {
        logLine("Failed to start SOCKS proxy: listen tcp " + where + ": " + *failure);
        return 0;
    }
    if (options.leakListener) leakListenerToSleeper(server.nativeHandle());
    signals.async_wait([&](std::error_code, int) {
        server.close();
        io.stop();
    });
    TunnelSimulation tunnel(io, options);
    tunnel.start();
    io.run();
    return 0;
}

}  // namespace nimbra::standin
