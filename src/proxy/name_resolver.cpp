#include "proxy/name_resolver.hpp"

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <asio/any_io_executor.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cstring>
#include <map>
#include <memory>

namespace nimbra {
namespace {

using Addresses = std::vector<asio::ip::address>;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

void initialiseLibraryOnce() {
    static const int status = ares_library_init(ARES_LIB_INIT_ALL);
    static_cast<void>(status);
}

bool stillReadable(ares_socket_t fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

std::vector<asio::ip::address> addressesOf(const ares_addrinfo& result, AddressFamilies families) {
    std::vector<asio::ip::address> addresses;
    for (const ares_addrinfo_node* node = result.nodes; node != nullptr; node = node->ai_next) {
        if (node->ai_family == AF_INET) {
            sockaddr_in in{};
            std::memcpy(&in, node->ai_addr, sizeof in);
            addresses.emplace_back(asio::ip::address_v4(ntohl(in.sin_addr.s_addr)));
        } else if (node->ai_family == AF_INET6 && families == AddressFamilies::any) {
            sockaddr_in6 in6{};
            std::memcpy(&in6, node->ai_addr, sizeof in6);
            asio::ip::address_v6::bytes_type bytes{};
            std::memcpy(bytes.data(), in6.sin6_addr.s6_addr, bytes.size());
            addresses.emplace_back(asio::ip::address_v6(bytes, in6.sin6_scope_id));
        }
    }
    return addresses;
}

// One lookup on a channel of its own. Abandoning it is then simply destroying the channel (c-ares
// has no way to cancel one query of a channel that others share). The channel's sockets are
// watched on the executor with non-owning descriptors: c-ares opens and closes them, and tells us
// through the socket-state callback which of them to watch for what.
class Query : public std::enable_shared_from_this<Query> {
public:
    explicit Query(const asio::any_io_executor& executor)
        : executor_(executor), retry_(executor), wake_(executor) {}
    ~Query() { close(); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool open(const NameResolver::Options& options) {
        initialiseLibraryOnce();
        ares_options settings{};
        settings.sock_state_cb = &Query::onSocketState;
        settings.sock_state_cb_data = this;
        char lookups[] = "fb";  // the hosts file first, then the name servers
        settings.lookups = lookups;
        if (ares_init_options(&channel_, &settings, ARES_OPT_SOCK_STATE_CB | ARES_OPT_LOOKUPS) !=
            ARES_SUCCESS) {
            channel_ = nullptr;
            return false;
        }
        if (options.servers.empty()) return true;
        std::vector<ares_addr_port_node> servers(options.servers.size());
        for (std::size_t i = 0; i < servers.size(); ++i) {
            const auto& endpoint = options.servers[i];
            auto& server = servers[i];
            server.next = i + 1 < servers.size() ? &servers[i + 1] : nullptr;
            server.udp_port = endpoint.port();
            server.tcp_port = endpoint.port();
            if (endpoint.address().is_v4()) {
                server.family = AF_INET;
                server.addr.addr4.s_addr = htonl(endpoint.address().to_v4().to_uint());
            } else {
                server.family = AF_INET6;
                auto bytes = endpoint.address().to_v6().to_bytes();
                std::memcpy(&server.addr.addr6, bytes.data(), bytes.size());
            }
        }
        return ares_set_servers_ports(channel_, servers.data()) == ARES_SUCCESS;
    }

    // May answer at once (an /etc/hosts entry does), before any socket is opened.
    void start(const std::string& host, AddressFamilies families) {
        families_ = families;
        ares_addrinfo_hints hints{};
        hints.ai_family = families == AddressFamilies::ipv4Only ? AF_INET : AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;  // one entry per address, not one per socket type
        ares_getaddrinfo(channel_, host.c_str(), nullptr, &hints, &Query::onAnswer, this);
        afterProcessing();
    }

    bool answered() const { return answered_; }
    // Cancelled when the answer arrives; the lookup waits on it until its deadline.
    asio::steady_timer& wake() { return wake_; }
    std::vector<asio::ip::address> takeAddresses() { return std::move(addresses_); }

    // Ends the query whether answered or not. Handlers still queued find the query closed.
    void close() {
        if (closed_) return;
        closed_ = true;
        retry_.cancel();
        // Destroying the channel reports every socket as closed (releasing our watches) and
        // completes an unanswered query, which onAnswer drops because we are closed.
        if (channel_ != nullptr) ares_destroy(channel_);
        channel_ = nullptr;
        for (auto& [fd, watch] : watches_) forget(*watch);
        watches_.clear();
    }

private:
    struct Watch {
        Watch(const asio::any_io_executor& executor, ares_socket_t socket)
            : descriptor(executor), fd(socket) {}
        asio::posix::stream_descriptor descriptor;
        ares_socket_t fd;
        bool wantRead = false;
        bool wantWrite = false;
        bool readArmed = false;
        bool writeArmed = false;
        bool closed = false;
    };

    static void onSocketState(void* data, ares_socket_t fd, int readable, int writable) {
        auto& self = *static_cast<Query*>(data);
        auto found = self.watches_.find(fd);
        if (readable == 0 && writable == 0) {
            // c-ares closes the socket right after this; our descriptor must let go of it first.
            if (found == self.watches_.end()) return;
            forget(*found->second);
            self.watches_.erase(found);
            return;
        }
        if (found == self.watches_.end()) {
            auto watch = std::make_shared<Watch>(self.executor_, fd);
            asio::error_code error;
            watch->descriptor.assign(fd, error);
            // Without a watch the query still ends through the retry timer and the deadline.
            if (error) return;
            found = self.watches_.emplace(fd, std::move(watch)).first;
        }
        found->second->wantRead = readable != 0;
        found->second->wantWrite = writable != 0;
    }

    static void onAnswer(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
        std::unique_ptr<ares_addrinfo, void (*)(ares_addrinfo*)> owned(
            result, [](ares_addrinfo* info) {
                if (info != nullptr) ares_freeaddrinfo(info);
            });
        auto& self = *static_cast<Query*>(arg);
        if (self.closed_) return;
        self.answered_ = true;
        if (status == ARES_SUCCESS && result != nullptr)
            self.addresses_ = addressesOf(*result, self.families_);
        self.wake_.cancel();
    }

    static void forget(Watch& watch) {
        watch.closed = true;
        if (watch.descriptor.is_open()) static_cast<void>(watch.descriptor.release());
    }

    void process(ares_socket_t readFd, ares_socket_t writeFd) {
        if (closed_) return;
        ares_process_fd(channel_, readFd, writeFd);
        afterProcessing();
    }

    void onReadable(const std::shared_ptr<Watch>& watch) {
        process(watch->fd, ARES_SOCKET_BAD);
        // The descriptor reports edges. c-ares reads a TCP socket one piece per call, so what it
        // left behind raises no new edge: come back for it on a later turn.
        if (!watch->closed && !closed_ && stillReadable(watch->fd)) {
            asio::post(executor_, [self = shared_from_this(), watch] {
                if (!watch->closed) self->onReadable(watch);
            });
        }
    }

    // Waits again for what c-ares wants from each socket, and for its next time-out.
    void afterProcessing() {
        if (closed_) return;
        for (auto& [fd, watch] : watches_) arm(watch);
        timeval wait{};
        if (ares_timeout(channel_, nullptr, &wait) == nullptr) {
            retry_.cancel();
            return;
        }
        retry_.expires_after(std::chrono::seconds(wait.tv_sec) +
                             std::chrono::microseconds(wait.tv_usec));
        retry_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error) self->process(ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        });
    }

    void arm(const std::shared_ptr<Watch>& watch) {
        if (watch->wantRead && !watch->readArmed) {
            watch->readArmed = true;
            watch->descriptor.async_wait(
                asio::posix::descriptor_base::wait_read,
                [self = shared_from_this(), watch](const asio::error_code& error) {
                    watch->readArmed = false;
                    if (!error && !watch->closed) self->onReadable(watch);
                });
        }
        if (watch->wantWrite && !watch->writeArmed) {
            watch->writeArmed = true;
            watch->descriptor.async_wait(
                asio::posix::descriptor_base::wait_write,
                [self = shared_from_this(), watch](const asio::error_code& error) {
                    watch->writeArmed = false;
                    if (!error && !watch->closed) self->process(ARES_SOCKET_BAD, watch->fd);
                });
        }
    }

    asio::any_io_executor executor_;
    asio::steady_timer retry_;
    asio::steady_timer wake_;
    ares_channel channel_ = nullptr;
    std::map<ares_socket_t, std::shared_ptr<Watch>> watches_;
    AddressFamilies families_ = AddressFamilies::any;
    std::vector<asio::ip::address> addresses_;
    bool answered_ = false;
    bool closed_ = false;
};

}  // namespace

asio::awaitable<std::vector<asio::ip::address>> NameResolver::lookup(
    std::string host, AddressFamilies families,
    std::chrono::steady_clock::time_point deadline) const {
    asio::error_code notLiteral;
    auto literal = asio::ip::make_address(host, notLiteral);
    if (!notLiteral) {
        if (families == AddressFamilies::ipv4Only && !literal.is_v4()) co_return Addresses{};
        co_return Addresses{literal};
    }
    // c-ares reads a C string: a name with a NUL in it would be looked up cut short.
    if (host.empty() || host.find('\0') != std::string::npos) co_return Addresses{};

    auto query = std::make_shared<Query>(co_await asio::this_coro::executor);
    if (!query->open(options_)) co_return Addresses{};
    query->start(host, families);
    asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
    bool cancelled = state.cancelled() != asio::cancellation_type::none;
    if (!query->answered() && !cancelled) {
        // Ends on the answer (the timer is cancelled), at the deadline, or when the awaiting
        // coroutine is cancelled, since the wait carries its cancellation slot.
        query->wake().expires_at(deadline);
        co_await query->wake().async_wait(kNoThrow);
    }
    query->close();
    co_return query->takeAddresses();
}

}  // namespace nimbra
