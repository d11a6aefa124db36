#include "observe/socks_connection_byte_counters.hpp"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <vector>

#ifdef __linux__
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "base/unique_fd.hpp"
#endif

namespace nimbra {
namespace {

#ifdef __linux__

constexpr unsigned kTcpListen = 10;                // TCP_LISTEN of the kernel's state numbering
constexpr unsigned kTcpStateCount = 13;            // TCP_ESTABLISHED (1) ... TCP_NEW_SYN_RECV (12)
constexpr std::size_t kReceiveBuffer = 64 * 1024;  // the kernel fills at most 32 KiB per read
constexpr suseconds_t kReplyPatienceMicros = 500'000;

// Opens a socket-diagnostic netlink socket with a bounded wait for replies, or an invalid one.
UniqueFd openDiagSocket() {
    UniqueFd socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!socket.valid()) return socket;
    const timeval patience{.tv_sec = 0, .tv_usec = kReplyPatienceMicros};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return socket;
}

// Asks for every IPv4 TCP socket not in LISTEN with its tcp_info.
bool sendDumpRequest(int socket, std::uint32_t sequence) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    request.body.sdiag_family = AF_INET;
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_ext = 1U << (INET_DIAG_INFO - 1);
    request.body.idiag_states = ((1U << kTcpStateCount) - 1) & ~(1U << kTcpListen);

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const ssize_t sent = ::sendto(socket, &request, sizeof request, 0,
                                  reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
    return sent == static_cast<ssize_t>(sizeof request);
}

// The counters of one socket message if it is a server-side connection of 127.x.x.x:port that
// reported its tcp_info. Sockets without tcp_info (TIME_WAIT, half-open) are left out: the
// bookkeeping then treats them as closed, which they are for counting purposes.
std::optional<ByteCounts> listenerConnectionCounts(const nlmsghdr& header, int port,
                                                   std::uint64_t& cookie) {
    if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
    // NLMSG_DATA, spelled without its C cast.
    const auto* message = reinterpret_cast<const inet_diag_msg*>(
        reinterpret_cast<const char*>(&header) + NLMSG_LENGTH(0));
    if (message->idiag_family != AF_INET) return std::nullopt;
    if (ntohs(message->id.idiag_sport) != port) return std::nullopt;
    if ((ntohl(message->id.idiag_src[0]) >> 24) != 127) return std::nullopt;

    int remaining = static_cast<int>(header.nlmsg_len - NLMSG_LENGTH(sizeof(inet_diag_msg)));
    for (const rtattr* attribute = reinterpret_cast<const rtattr*>(message + 1);
         RTA_OK(attribute, remaining); attribute = RTA_NEXT(attribute, remaining)) {
        if (attribute->rta_type != INET_DIAG_INFO) continue;
        // Older kernels send a shorter tcp_info; the fields they lack read as zero.
        tcp_info info{};
        std::memcpy(&info, RTA_DATA(attribute),
                    std::min<std::size_t>(RTA_PAYLOAD(attribute), sizeof info));
        cookie = static_cast<std::uint64_t>(message->id.idiag_cookie[0]) |
                 (static_cast<std::uint64_t>(message->id.idiag_cookie[1]) << 32);
        // Seen from our listener: what it sent (and the app acknowledged) is the download,
        // what it received from the app is the upload.
        return ByteCounts{static_cast<std::int64_t>(info.tcpi_bytes_acked),
                          static_cast<std::int64_t>(info.tcpi_bytes_received)};
    }
    return std::nullopt;
}

// Runs one dump and calls `found(cookie, counts)` for each connection of the listener on `port`
// (a port of 0 matches nothing and only checks that the query works). False if the query could
// not be made or its answer was incomplete.
template <typename Found>
bool dumpListenerConnections(int port, Found&& found) {
    const UniqueFd socket = openDiagSocket();
    if (!socket.valid()) return false;
    static std::atomic<std::uint32_t> nextSequence{1};
    const std::uint32_t sequence = nextSequence++;
    if (!sendDumpRequest(socket.get(), sequence)) return false;

    std::vector<char> buffer(kReceiveBuffer);
    for (;;) {
        iovec chunk{buffer.data(), buffer.size()};
        sockaddr_nl from{};
        msghdr envelope{};
        envelope.msg_name = &from;
        envelope.msg_namelen = sizeof from;
        envelope.msg_iov = &chunk;
        envelope.msg_iovlen = 1;
        const ssize_t received = ::recvmsg(socket.get(), &envelope, 0);
        if (received <= 0 || (envelope.msg_flags & MSG_TRUNC) != 0) return false;
        if (from.nl_pid != 0) continue;  // only the kernel answers here

        int remaining = static_cast<int>(received);
        for (const auto* header = reinterpret_cast<const nlmsghdr*>(buffer.data());
             NLMSG_OK(header, remaining); header = NLMSG_NEXT(header, remaining)) {
            if (header->nlmsg_seq != sequence) continue;
            if (header->nlmsg_type == NLMSG_DONE) return true;
            if (header->nlmsg_type == NLMSG_ERROR) return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
            std::uint64_t cookie = 0;
            if (auto counts = listenerConnectionCounts(*header, port, cookie)) {
                found(cookie, *counts);
            }
        }
    }
}

#endif  // __linux__

}  // namespace

SocksConnectionByteCounters::SocksConnectionByteCounters(int port) : port_(port) {}

bool SocksConnectionByteCounters::available() {
#ifdef __linux__
    return dumpListenerConnections(0, [](std::uint64_t, ByteCounts) {});
#else
    return false;
#endif
}

ByteCounts SocksConnectionByteCounters::sample(const std::optional<std::string>&) {
#ifdef __linux__
    if (port_ <= 0 || port_ > 65535) return totals();
    for (auto& [cookie, connection] : live_) connection.seen = false;
    const bool complete =
        dumpListenerConnections(port_, [this](std::uint64_t cookie, ByteCounts counts) {
            Live& connection = live_[cookie];
            // A connection's counters only grow; keep the larger reading in case of a racy one.
            connection.counts.rx = std::max(connection.counts.rx, counts.rx);
            connection.counts.tx = std::max(connection.counts.tx, counts.tx);
            connection.seen = true;
        });
    // After an incomplete answer the missing connections may still be open: keep them.
    if (!complete) return totals();

    for (auto it = live_.begin(); it != live_.end();) {
        if (it->second.seen) {
            ++it;
            continue;
        }
        closed_.rx += it->second.counts.rx;
        closed_.tx += it->second.counts.tx;
        it = live_.erase(it);
    }
#endif
    return totals();
}

ByteCounts SocksConnectionByteCounters::totals() const {
    ByteCounts sum = closed_;
    for (const auto& [cookie, connection] : live_) {
        sum.rx += connection.counts.rx;
        sum.tx += connection.counts.tx;
    }
    return sum;
}

}  // namespace nimbra
