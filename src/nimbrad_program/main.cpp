// nimbrad: the root daemon behind Nimbra's whole-machine tunnel. It answers one JSON request per
// connection on its control socket and owns usque's TUN client, the routes, the DNS forwarder
// and the system resolver settings while the tunnel is up.

#include <unistd.h>

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/strand.hpp>
#include <cstdio>
#include <thread>

#include "base/version.hpp"
#include "nimbrad/control_server.hpp"
#include "nimbrad/daemon_arguments.hpp"
#include "nimbrad/daemon_log.hpp"
#include "nimbrad/tunnel_daemon.hpp"

using namespace nimbra;
using namespace nimbra::nimbrad;

namespace {

int run(const DaemonSettings& settings) {
    asio::io_context io;
    auto commands = asio::make_strand(io);
    TunnelDaemon daemon(commands, settings);
    daemon.recoverLeftovers();

    ControlServer::Options options;
    options.commands = commands;
    ControlServer server(
        io, settings.socketPath.string(), settings.allowedUids,
        [&daemon](const Request& request) { return daemon.handle(request); }, options);

    // SIGTERM (systemd's stop) and SIGINT take the tunnel down on the command strand, after
    // whatever command is running, and only then end the loop.
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const asio::error_code& error, int signal) {
        if (error) return;
        daemonLog("signal " + std::to_string(signal) + ": stopping");
        asio::post(commands, [&] {
            daemon.shutdown();
            io.stop();
        });
    });
    ::signal(SIGPIPE, SIG_IGN);

    daemonLog(std::string("nimbrad ") + kVersion + " listening on " + settings.socketPath.string());
    // Two threads: a command that takes a while (stopping usque, a big routing batch) holds up
    // other commands, but never the accepting and reading of other clients.
    std::thread second([&io] { io.run(); });
    io.run();
    second.join();
    daemonLog("nimbrad stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = parseDaemonArguments(argc, argv);
    const auto* outcome = std::get_if<ArgumentsOutcome>(&parsed);
    if (outcome && outcome->exitCode == 0) {  // --help
        std::fputs((outcome->message + "\n").c_str(), stdout);
        return 0;
    }
    // Before any complaint about the options: a user who runs the installed program by hand
    // learns that it is the service's, not which option it would have wanted next.
    if (::geteuid() != 0) {
        std::fputs(
            "nimbrad: must run as root (it changes routes and DNS for the whole machine); "
            "it runs as the service nimbra-daemon.service, see `nimbra-cli daemon install`\n",
            stderr);
        return 1;
    }
    if (outcome) {
        std::fputs((outcome->message + "\n").c_str(), stderr);
        return outcome->exitCode;
    }
    const auto& settings = std::get<DaemonSettings>(parsed);
    if (!settings.logFile.empty()) openLogFile(settings.logFile, settings.allowedUids);
    try {
        return run(settings);
    } catch (const std::exception& failure) {
        daemonLog(std::string("cannot run: ") + failure.what());
        return 1;
    }
}
