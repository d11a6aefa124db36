#include "diagnostics/gateway_latency.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include "base/async/await_blocking.hpp"
#include "base/deployment.hpp"
#include "base/nat64_address.hpp"
#include "base/stop_event.hpp"
#include "base/unique_fd.hpp"
#include "diagnostics/quic_probe_datagram.hpp"
#include "model/nat64_gateway.hpp"

namespace nimbra::ExitProbe {
namespace {

using Clock = std::chrono::steady_clock;

struct AddressListDeleter {
    void operator()(addrinfo* list) const noexcept { ::freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

// Numeric hosts only: a probe must never wait on DNS, and the targets are addresses anyway.
AddressList resolveNumeric(const std::string& host, int port, int socketType, int protocol) {
    if (port < 1 || port > 65535) return nullptr;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
    return AddressList(list);
}

UniqueFd openSocket(const addrinfo& address, int extraFlags = 0) {
    return UniqueFd(::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | extraFlags,
                             address.ai_protocol));
}

// poll() for one descriptor that keeps its deadline across signals and ends early when the task
// waiting for the probe is cancelled (a quit must not sit out a silent gateway's time-out).
// Returns the revents, or 0 on time-out, stop or error.
short pollOne(int fd, short events, Clock::time_point deadline) {
    const StopEvent stop;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::array<pollfd, 2> entries{pollfd{fd, events, 0}, pollfd{stop.fd(), POLLIN, 0}};
        const int ready =
            ::poll(entries.data(), entries.size(), static_cast<int>(std::max<long long>(left, 0)));
        if (stop.requested()) return 0;
        if (ready > 0) return entries[0].revents;
        if (ready == 0 || errno != EINTR) return 0;
    }
}

int elapsedMs(Clock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(ms.count(), 1));
}

int measureGateway(const GatewayTarget& target, int timeoutMs) {
    const int quic = measureQuicUdpRtt(target.host, target.port, timeoutMs);
    if (quic >= 1) return quic;
    return measureTcpRtt(target.host, target.port, timeoutMs);
}

asio::awaitable<int> probeGateway(asio::thread_pool& pool, GatewayTarget target, int timeoutMs) {
    // A named callable: awaitBlocking refuses temporaries that own something (GCC 12).
    auto measure = [target = std::move(target), timeoutMs] {
        return measureGateway(target, timeoutMs);
    };
    const int rtt = co_await awaitBlocking(pool, measure);
    co_return rtt;
}

}  // namespace

int measureQuicUdpRtt(const std::string& host, int port, int timeoutMs) {
    const auto addresses = resolveNumeric(host, port, SOCK_DGRAM, IPPROTO_UDP);
    if (!addresses) return -1;
    const addrinfo& address = *addresses;
    const UniqueFd socket = openSocket(address);
    if (!socket.valid()) return -1;

    const auto datagram = quicProbeDatagram();
    const auto start = Clock::now();
    const ssize_t sent = ::sendto(socket.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL,
                                  address.ai_addr, address.ai_addrlen);
    if (sent <= 0) return -1;

    const auto deadline = start + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if ((pollOne(socket.get(), POLLIN, deadline) & POLLIN) == 0) return -1;
    std::array<std::uint8_t, 2048> reply;
    // Readable can still mean nothing to read (a datagram dropped for a bad checksum): never
    // block here past the time-out.
    const ssize_t received = ::recv(socket.get(), reply.data(), reply.size(), MSG_DONTWAIT);
    if (received < 1) return -1;
    return elapsedMs(start);
}

int measureTcpRtt(const std::string& host, int port, int timeoutMs) {
    const auto addresses = resolveNumeric(host, port, SOCK_STREAM, IPPROTO_TCP);
    if (!addresses) return -1;
    const addrinfo& address = *addresses;
    const UniqueFd socket = openSocket(address, SOCK_NONBLOCK);
    if (!socket.valid()) return -1;

    const auto start = Clock::now();
    if (::connect(socket.get(), address.ai_addr, address.ai_addrlen) == 0) return elapsedMs(start);
    if (errno != EINPROGRESS) return -1;

    const auto deadline = start + std::chrono::milliseconds(std::max(timeoutMs, 0));
    if ((pollOne(socket.get(), POLLOUT, deadline) & POLLOUT) == 0) return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        return -1;
    }
    return elapsedMs(start);
}

std::vector<GatewayTarget> gatewayTargets() {
    const std::string endpoint = deployment::providerEndpointV4();
    const int port = deployment::gatewayProbePort();
    const std::string prefix = deployment::fremontNat64Prefix();
    // Without a valid embedded address the endpoint is appended as it is, which makes a host the
    // numeric resolver refuses: the gateway then shows as unreachable instead of probing the bare
    // prefix.
    const std::string fremont = nat64Address(prefix, endpoint).value_or(prefix + endpoint);
    return {
        GatewayTarget{rawValue(NAT64Gateway::direct), endpoint, port},
        GatewayTarget{rawValue(NAT64Gateway::usFremont), fremont, port},
    };
}

asio::awaitable<std::map<std::string, int>> probeAllGateways(asio::thread_pool& pool,
                                                             int timeoutMs) {
    const auto executor = co_await asio::this_coro::executor;
    const auto targets = gatewayTargets();

    // The two-row table is fixed; each child blocks one pool thread for up to twice the time-out.
    // The children and the group are built outside the awaiting statement so that no temporary
    // owning memory lives in a full-expression with co_await (GCC 12 destroys those twice).
    auto direct = probeGateway(pool, targets.at(0), timeoutMs);
    auto fremont = probeGateway(pool, targets.at(1), timeoutMs);
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(executor, std::move(direct), asio::experimental::deferred),
        asio::co_spawn(executor, std::move(fremont), asio::experimental::deferred));
    auto [order, directError, directRtt, fremontError, fremontRtt] =
        co_await std::move(group).async_wait(asio::experimental::wait_for_all(),
                                             asio::use_awaitable);
    (void)order;
    if (directError) std::rethrow_exception(directError);
    if (fremontError) std::rethrow_exception(fremontError);

    std::map<std::string, int> results;
    results[targets[0].id] = directRtt;
    results[targets[1].id] = fremontRtt;
    co_return results;
}

}  // namespace nimbra::ExitProbe
