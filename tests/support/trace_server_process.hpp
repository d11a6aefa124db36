#pragma once

#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"

namespace nimbra::testing {

// Runs the trace-server stand-in (tests/support/trace_server) for the life of the object: an
// HTTPS server for GET /cdn-cgi/trace on 127.0.0.1. It serves a certificate for
// www.cloudflare.com, localhost and the loopback and tunnel endpoint addresses, signed by the
// test CA in caFile().
//
//     TraceServerProcess server({.status = 503});
//     curl --resolve www.cloudflare.com:<tcpPort>:127.0.0.1
//          https://www.cloudflare.com:<tcpPort>/cdn-cgi/trace
//
// The server exits by itself if the test process dies, so a crashed run leaves nothing behind.
class TraceServerProcess {
public:
    struct Options {
        // The /cdn-cgi/trace body; empty gives the default WARP-on trace (defaultBody()).
        std::string body{};
        // Read the body from this file instead; wins over `body`.
        std::optional<std::filesystem::path> bodyFile{};
        // HTTP status of /cdn-cgi/trace.
        int status = 200;
        // Serve another certificate (both or neither); default: the test certificate.
        std::optional<std::filesystem::path> certFile{};
        std::optional<std::filesystem::path> keyFile{};
    };

    // Starts the program and waits (up to 5 s) until it listens. Throws std::runtime_error, with
    // the program's stderr in the message, when it does not come up.
    TraceServerProcess();
    explicit TraceServerProcess(const Options& options);
    // Stops the server: SIGTERM, then SIGKILL if it does not exit within a few seconds.
    ~TraceServerProcess();

    TraceServerProcess(const TraceServerProcess&) = delete;
    TraceServerProcess& operator=(const TraceServerProcess&) = delete;

    int tcpPort() const { return tcpPort_; }
    pid_t pid() const { return pid_; }

    // "www.cloudflare.com:<tcpPort>:127.0.0.1", for curl --resolve.
    std::string curlResolve() const;
    // "https://www.cloudflare.com:<tcpPort>/cdn-cgi/trace".
    std::string traceUrl() const;

    // Everything the server has logged so far: one line per request.
    std::string stderrText() const;

    // Stops the server now (as the destructor would) and returns how it exited. A clean stop is
    // code 0. Later calls return the same status.
    Subprocess::ExitStatus stop();

    // The program, NIMBRA_STANDIN_DIR/trace-server.
    static std::string programPath();
    // The test CA certificate (PEM) that the server's certificate chains to.
    static std::string caFile();
    // What the server answers when Options::body and Options::bodyFile are empty.
    static std::string_view defaultBody();
    // Writes <dir>/.curlrc with `cacert = "<caFile()>"` (creating dir if needed) and returns
    // dir: curl run with HOME=dir then trusts the test CA without any extra argument.
    static std::string writeCurlHome(const std::filesystem::path& dir);

private:
    void readListeningLine();
    void shutDown() noexcept;

    Subprocess process_;
    pid_t pid_ = -1;
    UniqueFd stdout_;
    std::thread stderrReader_;
    mutable std::mutex stderrMutex_;
    std::string stderrText_;
    std::optional<Subprocess::ExitStatus> exitStatus_;
    int tcpPort_ = 0;
};

}  // namespace nimbra::testing
