#include "observe/network_change_watcher.hpp"

#include <utility>

#include "base/log.hpp"

#ifdef __linux__
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "base/unique_fd.hpp"
#endif

namespace nimbra {

namespace {
constexpr const char* kLog = "network-watch";
}  // namespace

#ifdef __linux__

namespace {

const nlmsghdr* firstMessage(std::span<const std::byte> datagram) {
    return reinterpret_cast<const nlmsghdr*>(datagram.data());
}

// NLMSG_DATA, without the macro's cast that drops const.
template <typename Body>
const Body* bodyOf(const nlmsghdr* message) {
    return reinterpret_cast<const Body*>(reinterpret_cast<const std::byte*>(message) +
                                         NLMSG_HDRLEN);
}

int lengthOf(std::span<const std::byte> datagram) {
    return static_cast<int>(datagram.size());
}

// The identity of an address that reaches past the machine: family, interface, prefix length
// and the address itself. Empty for any other address, and for a message too short to read.
std::string addressKey(const nlmsghdr* message) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) return {};
    const auto* header = bodyOf<ifaddrmsg>(message);
    // Host scope is loopback (127/8, ::1); link scope is IPv6's fe80::/64 and IPv4's
    // 169.254/16, neither of which carries traffic to the provider.
    if (header->ifa_scope >= RT_SCOPE_LINK) return {};
    if (header->ifa_family != AF_INET && header->ifa_family != AF_INET6) return {};

    // IFA_LOCAL is the interface's own address; IFA_ADDRESS is the same, except on
    // point-to-point links where it names the peer.
    const rtattr* local = nullptr;
    const rtattr* address = nullptr;
    int left = static_cast<int>(IFA_PAYLOAD(message));
    for (const rtattr* attribute = IFA_RTA(header); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == IFA_LOCAL) local = attribute;
        if (attribute->rta_type == IFA_ADDRESS) address = attribute;
    }
    const rtattr* chosen = local != nullptr ? local : address;
    if (chosen == nullptr) return {};

    std::string key;
    key.push_back(static_cast<char>(header->ifa_family));
    key.push_back(static_cast<char>(header->ifa_prefixlen));
    key.append(reinterpret_cast<const char*>(&header->ifa_index), sizeof header->ifa_index);
    key.append(static_cast<const char*>(RTA_DATA(chosen)), RTA_PAYLOAD(chosen));
    return key;
}

// A default route (no destination prefix) of the main table, which is where the machine's own
// way out lives; policy-routing tables (a VPN's, our daemon's) and subnet routes do not count.
bool isMainDefaultRoute(const nlmsghdr* message) {
    if (message->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg))) return false;
    const auto* header = bodyOf<rtmsg>(message);
    if (header->rtm_family != AF_INET && header->rtm_family != AF_INET6) return false;
    if (header->rtm_dst_len != 0 || (header->rtm_flags & RTM_F_CLONED) != 0) return false;

    // Tables above 255 only fit the attribute; when present it is the one that holds.
    std::uint32_t table = header->rtm_table;
    int left = static_cast<int>(RTM_PAYLOAD(message));
    for (const rtattr* attribute = RTM_RTA(header); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left)) {
        if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof table) {
            std::memcpy(&table, RTA_DATA(attribute), sizeof table);
        }
    }
    return table == RT_TABLE_MAIN;
}

}  // namespace

bool NetworkChangeWatcher::Filter::changed(std::span<const std::byte> datagram) {
    bool counts = false;
    int left = lengthOf(datagram);
    for (const nlmsghdr* message = firstMessage(datagram); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
        switch (message->nlmsg_type) {
            case RTM_NEWADDR:
                if (auto key = addressKey(message); !key.empty()) {
                    counts |= addresses_.insert(std::move(key)).second;
                }
                break;
            case RTM_DELADDR:
                // Counted even when unknown: the address may have come while we missed
                // notifications.
                if (auto key = addressKey(message); !key.empty()) {
                    addresses_.erase(key);
                    counts = true;
                }
                break;
            case RTM_NEWROUTE:
            case RTM_DELROUTE:
                counts |= isMainDefaultRoute(message);
                break;
            default:
                break;
        }
    }
    return counts;
}

bool NetworkChangeWatcher::Filter::seed(std::span<const std::byte> datagram) {
    int left = lengthOf(datagram);
    for (const nlmsghdr* message = firstMessage(datagram); NLMSG_OK(message, left);
         message = NLMSG_NEXT(message, left)) {
        if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) return true;
        if (message->nlmsg_type != RTM_NEWADDR) continue;
        if (auto key = addressKey(message); !key.empty()) addresses_.insert(std::move(key));
    }
    return false;
}

// Everything the socket's and the timer's waits touch. The waits hold it, so a watcher that
// stops (or goes) while one is pending leaves them something valid to find closed.
struct NetworkChangeWatcher::Session {
    Session(const asio::any_io_executor& core, std::chrono::milliseconds wait,
            std::function<void()> callback)
        : socket(core), timer(core), debounce(wait), onChange(std::move(callback)) {}

    asio::posix::stream_descriptor socket;
    asio::steady_timer timer;
    std::chrono::milliseconds debounce;
    std::function<void()> onChange;
    Filter filter;
    std::vector<std::byte> buffer = std::vector<std::byte>(64 * 1024);
    std::uint32_t port = 0;     // the socket's netlink address, which replies are sent to
    std::uint32_t lastSeq = 0;  // of our requests
    std::uint32_t dumpSeq = 0;  // the address dump under way; 0 when none
    std::uint64_t burst = 0;    // moves with every change, so only the last one's wait calls back
    bool open = true;

    using Shared = std::shared_ptr<Session>;

    // Asks the kernel for the addresses there are now, so that a later announcement of one of
    // them (a lifetime refresh) is not taken for a new address. Without the dump every address
    // counts once more when it is next announced, which costs one health check.
    static void requestDump(Session& session) {
        struct {
            nlmsghdr header;
            ifaddrmsg body;
        } request{};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = RTM_GETADDR;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = ++session.lastSeq;
        request.body.ifa_family = AF_UNSPEC;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        const ssize_t sent =
            ::sendto(session.socket.native_handle(), &request, sizeof request, MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        session.dumpSeq = sent == static_cast<ssize_t>(sizeof request) ? session.lastSeq : 0;
    }

    static void noteChange(const Shared& session) {
        const std::uint64_t burst = ++session->burst;
        session->timer.expires_after(session->debounce);
        session->timer.async_wait([session, burst](const std::error_code& error) {
            if (error || !session->open || burst != session->burst) return;
            session->onChange();
        });
    }

    static bool isDumpReply(const Session& session, std::span<const std::byte> datagram) {
        if (session.dumpSeq == 0 || datagram.size() < sizeof(nlmsghdr)) return false;
        const nlmsghdr* first = firstMessage(datagram);
        return first->nlmsg_pid == session.port && first->nlmsg_seq == session.dumpSeq;
    }

    // Reads every datagram queued on the socket. False when the socket failed for good.
    static bool drain(const Shared& session) {
        const int fd = session->socket.native_handle();
        for (;;) {
            sockaddr_nl from{};
            socklen_t fromLength = sizeof from;
            const ssize_t received = ::recvfrom(fd, session->buffer.data(), session->buffer.size(),
                                                MSG_DONTWAIT | MSG_TRUNC,
                                                reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (received < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                if (errno == ENOBUFS) {
                    // The kernel dropped notifications: something changed, and what we know of
                    // the addresses may be out of date.
                    noteChange(session);
                    session->filter.forget();
                    requestDump(*session);
                    continue;
                }
                logLine(kLog, std::string("reading the routing socket failed: ") +
                                  std::strerror(errno) + "; no longer watching");
                return false;
            }
            if (from.nl_pid != 0) continue;  // only the kernel speaks for the network
            const auto size = static_cast<std::size_t>(received);
            if (size > session->buffer.size()) {
                noteChange(session);  // too big to read whole: assume it mattered
                continue;
            }
            const std::span<const std::byte> datagram(session->buffer.data(), size);
            if (isDumpReply(*session, datagram)) {
                if (session->filter.seed(datagram)) session->dumpSeq = 0;
            } else if (session->filter.changed(datagram)) {
                noteChange(session);
            }
        }
    }

    static void waitReadable(const Shared& session) {
        session->socket.async_wait(
            asio::posix::stream_descriptor::wait_read, [session](const std::error_code& error) {
                if (!session->open) return;
                if (!error && drain(session)) {
                    waitReadable(session);
                    return;
                }
                if (error) {
                    logLine(kLog, "waiting on the routing socket failed: " + error.message());
                }
                session->open = false;
                std::error_code ignored;
                session->timer.cancel();
                session->socket.close(ignored);
            });
    }
};

NetworkChangeWatcher::NetworkChangeWatcher(asio::any_io_executor core,
                                           std::chrono::milliseconds debounce,
                                           std::function<void()> onChange)
    : core_(std::move(core)), debounce_(debounce), onChange_(std::move(onChange)) {}

NetworkChangeWatcher::~NetworkChangeWatcher() {
    stop();
}

void NetworkChangeWatcher::start() {
    if (session_ && session_->open) return;
    session_.reset();

    UniqueFd fd(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE));
    if (!fd.valid()) {
        logLine(kLog, std::string("cannot open a routing socket: ") + std::strerror(errno) +
                          "; network changes go unnoticed until the next health check");
        return;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups =
        RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    socklen_t localLength = sizeof local;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
        logLine(kLog, std::string("cannot subscribe to route and address changes: ") +
                          std::strerror(errno) +
                          "; network changes go unnoticed until the next health check");
        return;
    }

    auto session = std::make_shared<Session>(core_, debounce_, onChange_);
    std::error_code error;
    session->socket.assign(fd.get(), error);
    if (error) {
        logLine(kLog, "cannot watch the routing socket: " + error.message());
        return;
    }
    fd.release();
    session->port = local.nl_pid;
    Session::requestDump(*session);
    Session::waitReadable(session);
    session_ = std::move(session);
}

bool NetworkChangeWatcher::listening() const {
    return session_ && session_->open;
}

void NetworkChangeWatcher::stop() {
    if (!session_) return;
    session_->open = false;
    std::error_code ignored;
    session_->timer.cancel();
    session_->socket.close(ignored);
    session_.reset();
}

#else  // !__linux__

// Other systems get their own way of hearing network changes; until then the watcher stays off
// and the health monitor's own interval notices them.
bool NetworkChangeWatcher::Filter::changed(std::span<const std::byte>) {
    return false;
}
bool NetworkChangeWatcher::Filter::seed(std::span<const std::byte>) {
    return true;
}

struct NetworkChangeWatcher::Session {};

NetworkChangeWatcher::NetworkChangeWatcher(asio::any_io_executor core,
                                           std::chrono::milliseconds debounce,
                                           std::function<void()> onChange)
    : core_(std::move(core)), debounce_(debounce), onChange_(std::move(onChange)) {}

NetworkChangeWatcher::~NetworkChangeWatcher() = default;

void NetworkChangeWatcher::start() {
    logLine(kLog, "not available on this system; network changes wait for the next health check");
}

void NetworkChangeWatcher::stop() {}

bool NetworkChangeWatcher::listening() const {
    return false;
}

#endif

}  // namespace nimbra
