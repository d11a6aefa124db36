#include "support/trace_server_process.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "support/trace_server/default_body.hpp"

namespace nimbra::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartupTimeout = 5s;
constexpr auto kStopTimeout = 3s;

Subprocess startServer(const TraceServerProcess::Options& options) {
    std::vector<std::string> argv = {TraceServerProcess::programPath(), "--port", "0",
                                     "--exit-with-parent"};
    if (options.bodyFile) {
        argv.insert(argv.end(), {"--body-file", options.bodyFile->string()});
    } else if (!options.body.empty()) {
        argv.insert(argv.end(), {"--body", options.body});
    }
    if (options.status != 200)
        argv.insert(argv.end(), {"--status", std::to_string(options.status)});
    if (options.certFile) argv.insert(argv.end(), {"--cert", options.certFile->string()});
    if (options.keyFile) argv.insert(argv.end(), {"--key", options.keyFile->string()});

    Subprocess::Options spawn;
    spawn.argv = std::move(argv);
    return Subprocess::start(std::move(spawn));
}

// Reads one line from `fd` within `timeout`. nullopt on time-out or when the writer closes
// without finishing a line.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string line;
    for (;;) {
        const auto newline = line.find('\n');
        if (newline != std::string::npos) return line.substr(0, newline);

        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left.count()) + 1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;

        char buffer[256];
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        line.append(buffer, static_cast<std::size_t>(got));
    }
}

// "listening tcp=<port>", and nothing after the port.
bool parseListeningLine(const std::string& line, int& tcpPort) {
    char rest = 0;
    return std::sscanf(line.c_str(), "listening tcp=%d%c", &tcpPort, &rest) == 1 && tcpPort > 0 &&
           tcpPort < 65536;
}

// Quotes `text` for a curl config file: inside double quotes a backslash escapes.
std::string curlQuoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

TraceServerProcess::TraceServerProcess() : TraceServerProcess(Options{}) {}

TraceServerProcess::TraceServerProcess(const Options& options)
    : process_(startServer(options)), pid_(process_.pid()) {
    // The server logs a line per request; something has to keep reading, or a busy test would
    // fill the pipe and freeze the server mid-write.
    stdout_.reset(process_.releaseStdout());
    const int stderrFd = process_.releaseStderr();
    stderrReader_ = std::thread([this, fd = UniqueFd(stderrFd)] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return;
            const std::lock_guard lock(stderrMutex_);
            stderrText_.append(buffer, static_cast<std::size_t>(got));
        }
    });

    try {
        readListeningLine();
    } catch (...) {
        shutDown();
        throw;
    }
}

TraceServerProcess::~TraceServerProcess() {
    shutDown();
}

void TraceServerProcess::readListeningLine() {
    const auto line = readLine(stdout_.get(), kStartupTimeout);
    if (line && parseListeningLine(*line, tcpPort_)) return;

    // Stop it first: then the reader thread has seen all of stderr.
    shutDown();
    std::string reason =
        line ? "printed '" + *line + "' instead of its port" : "did not report its port within 5 s";
    if (exitStatus_ && !exitStatus_->signal) {
        reason += " (exit code " + std::to_string(exitStatus_->code) + ")";
    }
    throw std::runtime_error("trace-server " + reason + "; its stderr:\n" + stderrText());
}

std::string TraceServerProcess::curlResolve() const {
    return "www.cloudflare.com:" + std::to_string(tcpPort_) + ":127.0.0.1";
}

std::string TraceServerProcess::traceUrl() const {
    return "https://www.cloudflare.com:" + std::to_string(tcpPort_) + "/cdn-cgi/trace";
}

std::string TraceServerProcess::stderrText() const {
    const std::lock_guard lock(stderrMutex_);
    return stderrText_;
}

Subprocess::ExitStatus TraceServerProcess::stop() {
    shutDown();
    return *exitStatus_;
}

void TraceServerProcess::shutDown() noexcept {
    if (!exitStatus_) {
        try {
            process_.signal(SIGTERM);
            exitStatus_ = process_.wait(kStopTimeout);
            if (!exitStatus_) {
                process_.kill();
                exitStatus_ = process_.wait();
            }
        } catch (const std::exception&) {
            // Only an object without a child throws here, and ours always has one; record a
            // status anyway so stop() has something to return.
            exitStatus_ = Subprocess::ExitStatus{.code = -1, .signal = std::nullopt};
        }
    }
    // The child is gone, so its end of the stderr pipe is closed and the reader sees EOF.
    if (stderrReader_.joinable()) stderrReader_.join();
    stdout_.reset();
}

std::string TraceServerProcess::programPath() {
    return NIMBRA_STANDIN_DIR "/trace-server";
}

std::string TraceServerProcess::caFile() {
    return NIMBRA_TRACE_CERT_DIR "/ca.pem";
}

std::string_view TraceServerProcess::defaultBody() {
    return kDefaultTraceBody;
}

std::string TraceServerProcess::writeCurlHome(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    const auto rcPath = dir / ".curlrc";
    std::ofstream rc(rcPath, std::ios::trunc);
    rc << "cacert = " << curlQuoted(caFile()) << '\n';
    rc.close();
    if (!rc) throw std::runtime_error("cannot write " + rcPath.string());
    return dir.string();
}

}  // namespace nimbra::testing
