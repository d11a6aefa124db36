#include "load_patterns.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace nimbra::bench {
namespace {

using asio::use_awaitable;
using namespace std::chrono;

constexpr int kChurnClients = 50;
constexpr int kKeepAliveConnections = 8;
// Enough to open a thousand idle tunnels quickly without overrunning a proxy's listen backlog.
constexpr int kIdleOpeners = 25;

struct Counters {
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;
};

// Runs the context through the warm-up, calls `windowOpens`, then runs it through the window.
// The window's actual length in seconds.
double runWindow(asio::io_context& context, const Pace& pace,
                 const std::function<void()>& windowOpens) {
    context.run_for(pace.warmup);
    windowOpens();
    const auto start = steady_clock::now();
    context.run_for(pace.window);
    return duration<double>(steady_clock::now() - start).count();
}

// What the counters gained over the window, and the window's length in seconds.
struct Counted {
    Counters gained;
    double seconds;
};

Counted countedWindow(
    asio::io_context& context, const Pace& pace, const Counters& counters,
    const std::function<void()>& windowOpens = [] {}) {
    Counters atOpening;
    const double seconds = runWindow(context, pace, [&] {
        atOpening = counters;
        windowOpens();
    });
    return {{counters.completed - atOpening.completed, counters.failed - atOpening.failed},
            seconds};
}

Rate rateOf(const Counted& counted) {
    return {static_cast<double>(counted.gained.completed) / counted.seconds,
            static_cast<double>(counted.gained.failed)};
}

std::vector<long long> cpuTicksOf(const std::vector<ChildProcess>& chain) {
    std::vector<long long> ticks;
    for (const auto& process : chain) ticks.push_back(process.cpuTicks());
    return ticks;
}

// A clock tick is 10 ms on most kernels: a short window spans few of them, and the figure is
// only as fine as that.
std::vector<double> cpuMicrosPerTunnel(const std::vector<long long>& before,
                                       const std::vector<long long>& after, std::uint64_t tunnels) {
    const double microsPerTick = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::vector<double> perTunnel;
    for (std::size_t i = 0; i < before.size(); ++i) {
        perTunnel.push_back(tunnels == 0 ? std::numeric_limits<double>::quiet_NaN()
                                         : static_cast<double>(after[i] - before[i]) *
                                               microsPerTick / static_cast<double>(tunnels));
    }
    return perTunnel;
}

// A refusing proxy answers at once: a failed client waits a moment instead of spinning.
asio::awaitable<void> pauseAfterFailure() {
    asio::steady_timer timer(co_await asio::this_coro::executor, milliseconds(1));
    co_await timer.async_wait(use_awaitable);
}

asio::awaitable<void> sendForever(Route route, int sinkPort) {
    tcp::socket socket = co_await openTunnel(route, sinkPort);
    const std::vector<char> chunk(256 * 1024, 'x');
    for (;;) co_await asio::async_write(socket, asio::buffer(chunk), use_awaitable);
}

asio::awaitable<void> churnClient(Route route, int echoPort, Counters& counters) {
    for (;;) {
        const std::optional<tcp::socket> tunnel = co_await echoedTunnel(route, echoPort);
        if (tunnel) {
            ++counters.completed;
            continue;
        }
        ++counters.failed;
        co_await pauseAfterFailure();
    }
}

asio::awaitable<void> pingPong(Route route, int echoPort, int count, std::vector<double>& micros) {
    tcp::socket socket = co_await openTunnel(route, echoPort);
    const std::array<char, 64> message{};
    std::array<char, 64> reply{};
    for (int i = 0; i < count; ++i) {
        const auto start = steady_clock::now();
        co_await asio::async_write(socket, asio::buffer(message), use_awaitable);
        co_await asio::async_read(socket, asio::buffer(reply), use_awaitable);
        micros.push_back(duration<double, std::micro>(steady_clock::now() - start).count());
    }
}

struct ResponseHead {
    std::size_t bodyLength = 0;
    bool keepsAlive = true;
};

// Enough of HTTP/1.x for the origin's answers and what proxies make of them: a 1.0 response
// keeps the connection only when it says keep-alive, a 1.1 response unless it says close.
ResponseHead parseHead(std::string_view head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower.compare(8, 5, " 200 ") != 0) throw std::runtime_error("HTTP request failed");
    ResponseHead parsed;
    const auto length = lower.find("\r\ncontent-length:");
    if (length != std::string::npos) parsed.bodyLength = std::stoul(lower.substr(length + 17));
    const bool saysClose = lower.find("connection: close") != std::string::npos;
    const bool saysKeepAlive = lower.find("keep-alive") != std::string::npos;
    parsed.keepsAlive = lower.starts_with("http/1.0") ? saysKeepAlive : !saysClose;
    return parsed;
}

// Reads one response off `received` and the socket; leaves what follows it in `received`.
asio::awaitable<bool> readResponse(tcp::socket& socket, std::string& received) {
    const std::size_t headLength = co_await asio::async_read_until(
        socket, asio::dynamic_buffer(received), "\r\n\r\n", use_awaitable);
    const ResponseHead head = parseHead(std::string_view(received).substr(0, headLength));
    const std::size_t total = headLength + head.bodyLength;
    const std::size_t missing = total > received.size() ? total - received.size() : 0;
    co_await asio::async_read(socket, asio::dynamic_buffer(received),
                              asio::transfer_exactly(missing), use_awaitable);
    received.erase(0, total);
    co_return head.keepsAlive;
}

// A server may close a kept-alive connection between two requests (tinyproxy does so after
// every one, without saying): clients then retry on a new connection. Not a failure.
bool closedBetweenRequests(const std::system_error& error, int answered,
                           const std::string& received) {
    const auto code = error.code();
    const bool closed = code == asio::error::eof || code == asio::error::connection_reset ||
                        code == asio::error::broken_pipe;
    return closed && answered > 0 && received.empty();
}

// Requests on one connection until the proxy closes it; false when something failed.
asio::awaitable<bool> requestsOnOneConnection(Route route, int httpPort, const std::string& request,
                                              Counters& counters) {
    int answered = 0;
    std::string received;
    try {
        tcp::socket socket = co_await connectFirstHop(route, httpPort);
        for (bool keepsAlive = true; keepsAlive; ++answered) {
            co_await asio::async_write(socket, asio::buffer(request), use_awaitable);
            keepsAlive = co_await readResponse(socket, received);
            ++counters.completed;
        }
        co_return true;
    } catch (const std::system_error& error) {
        co_return closedBetweenRequests(error, answered, received);
    } catch (const std::exception&) {
        co_return false;
    }
}

asio::awaitable<void> keepAliveClient(Route route, int httpPort, Counters& counters) {
    const std::string authority = "127.0.0.1:" + std::to_string(httpPort);
    const std::string request =
        "GET http://" + authority + "/ HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    for (;;) {
        const bool clean = co_await requestsOnOneConnection(route, httpPort, request, counters);
        if (clean) continue;
        ++counters.failed;
        co_await pauseAfterFailure();
    }
}

asio::awaitable<void> openAndHold(Route route, int echoPort, int& attemptsLeft,
                                  std::vector<tcp::socket>& held) {
    while (attemptsLeft > 0) {
        --attemptsLeft;
        std::optional<tcp::socket> tunnel = co_await echoedTunnel(route, echoPort);
        if (tunnel) held.push_back(std::move(*tunnel));
    }
}

std::vector<long> peaksOf(const std::vector<ChildProcess>& chain) {
    std::vector<long> peaks;
    for (const auto& process : chain) peaks.push_back(process.peakResidentKiB());
    return peaks;
}

// A proxy's start-up can peak far above its idle size (reading a large /proc file, say), and
// that peak would hide what the tunnels add.
std::vector<long> peaksAfterReset(const std::vector<ChildProcess>& chain) {
    for (const auto& process : chain) process.resetPeakResident();
    return peaksOf(chain);
}

double percentile(const std::vector<double>& sorted, double q) {
    return sorted[static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1))];
}

}  // namespace

double bulkGbps(Route route, const Origins& origins, const Pace& pace) {
    std::exception_ptr failure;
    asio::io_context context;
    asio::co_spawn(context, sendForever(route, origins.sinkPort()),
                   [&failure](std::exception_ptr error) { failure = error; });
    std::uint64_t atOpening = 0;
    const double seconds = runWindow(context, pace, [&] { atOpening = origins.bytesSunk(); });
    if (failure) std::rethrow_exception(failure);
    return static_cast<double>(origins.bytesSunk() - atOpening) * 8 / seconds / 1e9;
}

Churn tunnelChurn(Route route, int echoPort, const Pace& pace,
                  const std::vector<ChildProcess>& chain) {
    Counters counters;
    asio::io_context context;
    for (int i = 0; i < kChurnClients; ++i) {
        asio::co_spawn(context, churnClient(route, echoPort, counters), asio::detached);
    }
    std::vector<long long> before;
    const Counted counted =
        countedWindow(context, pace, counters, [&] { before = cpuTicksOf(chain); });
    const std::vector<long long> after = cpuTicksOf(chain);
    return {rateOf(counted), cpuMicrosPerTunnel(before, after, counted.gained.completed)};
}

Latency roundTripLatency(Route route, int echoPort, const Pace& pace) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(pace.roundTrips));
    std::exception_ptr failure;
    asio::io_context context;
    asio::co_spawn(context, pingPong(route, echoPort, pace.roundTrips, micros),
                   [&failure](std::exception_ptr error) { failure = error; });
    context.run_for(seconds(60));
    if (failure) std::rethrow_exception(failure);
    // The first tenth warms caches and the proxy's allocator.
    micros.erase(micros.begin(), micros.begin() + static_cast<std::ptrdiff_t>(micros.size() / 10));
    if (micros.empty()) throw std::runtime_error("no round trip completed");
    std::sort(micros.begin(), micros.end());
    return {percentile(micros, 0.5), percentile(micros, 0.99)};
}

Rate keepAliveRequests(Route route, int httpPort, const Pace& pace) {
    Counters counters;
    asio::io_context context;
    for (int i = 0; i < kKeepAliveConnections; ++i) {
        asio::co_spawn(context, keepAliveClient(route, httpPort, counters), asio::detached);
    }
    return rateOf(countedWindow(context, pace, counters));
}

IdleMemory idleMemory(Route route, int echoPort, const Pace& pace,
                      const std::vector<ChildProcess>& chain) {
    const std::vector<long> before = peaksAfterReset(chain);
    asio::io_context context;
    std::vector<tcp::socket> held;
    int attemptsLeft = pace.idleTunnels;
    for (int i = 0; i < kIdleOpeners; ++i) {
        asio::co_spawn(context, openAndHold(route, echoPort, attemptsLeft, held), asio::detached);
    }
    context.run_for(seconds(60));
    const std::vector<long> after = peaksOf(chain);

    IdleMemory memory{static_cast<int>(held.size()), {}};
    for (std::size_t i = 0; i < chain.size(); ++i) {
        memory.kibPerTunnel.push_back(held.empty() ? std::numeric_limits<double>::quiet_NaN()
                                                   : static_cast<double>(after[i] - before[i]) /
                                                         held.size());
    }
    return memory;
}

}  // namespace nimbra::bench
