// trace-server: the tests' stand-in for the provider's trace endpoint. Serves
// GET /cdn-cgi/trace over HTTPS on 127.0.0.1 (or, inside a test's own network namespace, on the
// --bind address). Run with --help for the options. Tests start it
// through support/trace_server_process.hpp.

#include <signal.h>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/ssl/context.hpp>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "log.hpp"
#include "parent_watch.hpp"
#include "server_options.hpp"
#include "tls_context.hpp"
#include "tls_listener.hpp"

namespace {

using namespace nimbra::trace_server;

int serve(const ServerOptions& options) {
    // Declared before the io_context, so it outlives the sessions that pending handlers still
    // hold when the io_context goes away.
    asio::ssl::context tls = makeTlsContext(options.certFile, options.keyFile);
    asio::io_context io;

    // Handle the stop signals before announcing the port: whoever reads the line may send one
    // straight away.
    asio::signal_set stopSignals(io, SIGINT, SIGTERM);
    stopSignals.async_wait([&io](const std::error_code& error, int signal) {
        if (error) return;
        logLine("stopping on signal " + std::to_string(signal));
        io.stop();
    });

    TlsListener listener(io, tls, options);
    std::optional<ParentWatch> parentWatch;
    if (options.exitWithParent) parentWatch.emplace(io, [&io] { io.stop(); });

    std::printf("listening tcp=%d\n", listener.port());
    std::fflush(stdout);

    io.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A client hanging up mid-write must cost that connection, not the server.
    ::signal(SIGPIPE, SIG_IGN);

    ServerOptions options;
    try {
        options = parseCommandLine(argc, argv);
    } catch (const UsageError& error) {
        logLine(error.what());
        std::fputs(std::string(kUsage).c_str(), stderr);
        return 2;
    }
    if (options.showHelp) {
        std::fputs(std::string(kUsage).c_str(), stdout);
        return 0;
    }

    try {
        return serve(options);
    } catch (const std::exception& error) {
        logLine(error.what());
        return 1;
    }
}
