#include "fake_socks_server.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <thread>

namespace nimbra::testing {
namespace {

// Reads the rest of a CONNECT request after its 4-byte head: the address and the port.
std::string readAddressAndPort(TestConnection& connection, char addressType) {
    switch (addressType) {
        case 0x01:
            return connection.recvExact(6);
        case 0x04:
            return connection.recvExact(18);
        default: {
            std::string length = connection.recvExact(1);
            return length + connection.recvExact(static_cast<unsigned char>(length[0]) + 2);
        }
    }
}

// Writes until the peer stops taking bytes for a whole second; returns how many it took.
std::size_t floodUntilBlocked(TestConnection& connection) {
    std::string chunk(65536, 'x');
    std::size_t total = 0;
    for (;;) {
        pollfd entry{connection.fd(), POLLOUT, 0};
        if (::poll(&entry, 1, 1000) <= 0) return total;
        ssize_t sent =
            ::send(connection.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) return total;
        total += static_cast<std::size_t>(sent);
    }
}

}  // namespace

FakeSocksServer::FakeSocksServer(Mode mode)
    : mode_(mode), server_([this](TestConnection& connection) { session(connection); }) {}

std::vector<std::string> FakeSocksServer::requests() {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t FakeSocksServer::flooded() {
    std::lock_guard lock(mutex_);
    return flooded_;
}

void FakeSocksServer::session(TestConnection& connection) {
    if (mode_ == Mode::stall) {
        connection.recvUntilClosed(30s);
        return;
    }
    std::string greeting = connection.recvExact(3);
    if (mode_ == Mode::garbage) {
        connection.send("HTTP/1.1 400 Bad Request\r\n\r\n");
        return;
    }
    connection.send(std::string("\x05\x00", 2));
    std::string head = connection.recvExact(4);
    std::string request = head + readAddressAndPort(connection, head[3]);
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    if (mode_ == Mode::refuse) {
        connection.send(std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10));
        return;
    }
    if (mode_ == Mode::grantWithName) {
        connection.send(std::string("\x05\x00\x00\x03\x04host\x01\xbb", 11));
    } else {
        connection.send(std::string("\x05\x00\x00\x01\x7f\0\0\x01\x04\x38", 10));
    }
    if (mode_ == Mode::grantThenFlood) {
        std::size_t total = floodUntilBlocked(connection);
        std::lock_guard lock(mutex_);
        flooded_ = total;
        return;
    }
    echoSession(connection);
}

}  // namespace nimbra::testing
