#include "support/loopback_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace nimbra::testing {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Waits for readability; false on time-out.
bool readable(int fd, std::chrono::milliseconds timeout) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

TestConnection TestConnection::to(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return TestConnection(std::move(fd));
}

void TestConnection::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) throw std::runtime_error("send failed");
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

std::string TestConnection::recvExact(std::size_t count, std::chrono::milliseconds timeout) {
    std::string out(count, '\0');
    std::size_t have = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (have < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd_.get(), left))
            throw std::runtime_error("timed out after " + std::to_string(have) + " of " +
                                     std::to_string(count) + " bytes");
        ssize_t got = ::recv(fd_.get(), out.data() + have, count - have, 0);
        if (got <= 0) throw std::runtime_error("closed after " + std::to_string(have) + " bytes");
        have += static_cast<std::size_t>(got);
    }
    return out;
}

std::string TestConnection::recvUntilClosed(std::chrono::milliseconds timeout) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char chunk[16384];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readable(fd_.get(), left))
            throw std::runtime_error("still open after " + std::to_string(out.size()) + " bytes");
        ssize_t got = ::recv(fd_.get(), chunk, sizeof chunk, 0);
        if (got <= 0) return out;
        out.append(chunk, static_cast<std::size_t>(got));
    }
}

bool TestConnection::closesWithoutData(std::chrono::milliseconds timeout) {
    if (!readable(fd_.get(), timeout)) return false;
    char byte;
    return ::recv(fd_.get(), &byte, 1, 0) <= 0;
}

void TestConnection::shutdownWrite() {
    ::shutdown(fd_.get(), SHUT_WR);
}

TestServer::TestServer(Session session) : session_(std::move(session)) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 128) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("test server cannot listen");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

TestServer::~TestServer() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& session : sessions_) session.join();
}

void TestServer::acceptLoop() {
    while (!stopping_) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        ++accepted_;
        std::lock_guard lock(mutex_);
        auto entry = openFds_.insert(openFds_.end(), fd);
        sessions_.emplace_back([this, fd, entry] {
            TestConnection connection{UniqueFd(fd)};
            try {
                session_(connection);
            } catch (const std::exception&) {
                // A session ends when its peer goes away mid-way; that is the peer's business.
            }
            std::lock_guard lock(mutex_);
            openFds_.erase(entry);
        });
    }
}

void echoSession(TestConnection& connection) {
    char chunk[65536];
    for (;;) {
        ssize_t got = ::recv(connection.fd(), chunk, sizeof chunk, 0);
        if (got <= 0) return;
        connection.send(std::string_view(chunk, static_cast<std::size_t>(got)));
    }
}

void discardSession(TestConnection& connection) {
    char chunk[65536];
    while (::recv(connection.fd(), chunk, sizeof chunk, 0) > 0) {
    }
}

}  // namespace nimbra::testing
