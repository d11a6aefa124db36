#include "socks5_session.hpp"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <string>

namespace nimbra::standin {
namespace {

using asio::ip::tcp;

constexpr std::uint8_t kVersion = 5;
constexpr std::uint8_t kNoAuthentication = 0x00;
constexpr std::uint8_t kNoAcceptableMethod = 0xff;
constexpr std::uint8_t kConnect = 1;
constexpr std::uint8_t kIPv4 = 1, kDomainName = 3, kIPv6 = 4;
constexpr std::uint8_t kSucceeded = 0, kGeneralFailure = 1, kNetworkUnreachable = 3,
                       kHostUnreachable = 4, kConnectionRefused = 5, kCommandNotSupported = 7,
                       kAddressTypeNotSupported = 8;

std::uint8_t replyFor(const std::error_code& error) {
    if (error == asio::error::connection_refused) return kConnectionRefused;
    if (error == asio::error::host_unreachable || error == asio::error::timed_out) {
        return kHostUnreachable;
    }
    if (error == asio::error::network_unreachable) return kNetworkUnreachable;
    return kGeneralFailure;
}

}  // namespace

Socks5Session::Socks5Session(tcp::socket client, const HostMap& hosts)
    : client_(std::move(client)),
      upstream_(client_.get_executor()),
      resolver_(client_.get_executor()),
      hosts_(hosts) {}

void Socks5Session::start() {
    asio::async_read(client_, asio::buffer(toUpstream_, 2),
                     [self = shared_from_this()](std::error_code error, std::size_t) {
                         if (error || self->toUpstream_[0] != kVersion) return self->close();
                         const std::size_t count = self->toUpstream_[1];
                         asio::async_read(self->client_, asio::buffer(self->toUpstream_, count),
                                          [self, count](std::error_code error, std::size_t) {
                                              if (error) return self->close();
                                              self->chooseMethod(count);
                                          });
                     });
}

void Socks5Session::chooseMethod(std::size_t count) {
    const auto methods = toUpstream_.begin();
    const bool noAuthentication =
        std::find(methods, methods + count, kNoAuthentication) != methods + count;
    reply_[0] = kVersion;
    reply_[1] = noAuthentication ? kNoAuthentication : kNoAcceptableMethod;
    asio::async_write(
        client_, asio::buffer(reply_, 2),
        [self = shared_from_this(), noAuthentication](std::error_code error, std::size_t) {
            if (error) return self->close();
            if (!noAuthentication) return self->lingerAndClose();
            self->readRequest();
        });
}

void Socks5Session::readRequest() {
    // VER CMD RSV ATYP, then an address whose length depends on ATYP, then the port.
    asio::async_read(client_, asio::buffer(toUpstream_, 4),
                     [self = shared_from_this()](std::error_code error, std::size_t) {
                         const auto& request = self->toUpstream_;
                         if (error || request[0] != kVersion) return self->close();
                         const std::uint8_t command = request[1];
                         const std::uint8_t type = request[3];
                         if (type == kIPv4) return self->readAddress(command, type, 4 + 2);
                         if (type == kIPv6) return self->readAddress(command, type, 16 + 2);
                         if (type != kDomainName) return self->fail(kAddressTypeNotSupported);
                         asio::async_read(self->client_, asio::buffer(self->toUpstream_, 1),
                                          [self, command](std::error_code error, std::size_t) {
                                              if (error) return self->close();
                                              self->readAddress(
                                                  command, kDomainName,
                                                  self->toUpstream_[0] + std::size_t{2});
                                          });
                     });
}

void Socks5Session::readAddress(std::uint8_t command, std::uint8_t type, std::size_t size) {
    asio::async_read(
        client_, asio::buffer(toUpstream_, size),
        [self = shared_from_this(), command, type, size](std::error_code error, std::size_t) {
            if (error) return self->close();
            if (command != kConnect) return self->fail(kCommandNotSupported);
            const auto* bytes = self->toUpstream_.data();
            const auto port = static_cast<std::uint16_t>(bytes[size - 2] << 8 | bytes[size - 1]);
            if (type == kIPv4) {
                asio::ip::address_v4::bytes_type address;
                std::copy_n(bytes, address.size(), address.begin());
                return self->connect({tcp::endpoint(asio::ip::make_address_v4(address), port)});
            }
            if (type == kIPv6) {
                asio::ip::address_v6::bytes_type address;
                std::copy_n(bytes, address.size(), address.begin());
                return self->connect({tcp::endpoint(asio::ip::make_address_v6(address), port)});
            }
            std::string name(reinterpret_cast<const char*>(bytes), size - 2);
            if (name.empty() || name.find('\0') != std::string::npos) {
                return self->fail(kHostUnreachable);
            }
            if (auto mapped = self->hosts_.lookup(name, port)) return self->connect({*mapped});
            self->resolve(std::move(name), port);
        });
}

void Socks5Session::resolve(std::string name, std::uint16_t port) {
    resolver_.async_resolve(
        name, std::to_string(port), tcp::resolver::numeric_service,
        [self = shared_from_this()](std::error_code error, tcp::resolver::results_type results) {
            if (error || results.empty()) return self->fail(kHostUnreachable);
            std::vector<tcp::endpoint> endpoints;
            for (const auto& entry : results) endpoints.push_back(entry.endpoint());
            self->connect(std::move(endpoints));
        });
}

void Socks5Session::connect(std::vector<tcp::endpoint> endpoints) {
    endpoints_ = std::move(endpoints);  // async_connect keeps a reference to the sequence
    asio::async_connect(upstream_, endpoints_,
                        [self = shared_from_this()](std::error_code error, const tcp::endpoint&) {
                            if (error) return self->fail(replyFor(error));
                            self->succeed();
                        });
}

void Socks5Session::succeed() {
    // The bound address is the outgoing socket's own one when it is IPv4, else 0.0.0.0:0.
    std::error_code error;
    const tcp::endpoint local = upstream_.local_endpoint(error);
    reply_ = {kVersion, kSucceeded, 0, kIPv4, 0, 0, 0, 0, 0, 0};
    if (!error && local.address().is_v4()) {
        const auto address = local.address().to_v4().to_bytes();
        std::copy(address.begin(), address.end(), reply_.begin() + 4);
        reply_[8] = static_cast<std::uint8_t>(local.port() >> 8);
        reply_[9] = static_cast<std::uint8_t>(local.port() & 0xff);
    }
    asio::async_write(client_, asio::buffer(reply_),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                          if (error) return self->close();
                          self->pump(self->client_, self->upstream_, self->toUpstream_);
                          self->pump(self->upstream_, self->client_, self->toClient_);
                      });
}

void Socks5Session::fail(std::uint8_t reply) {
    reply_ = {kVersion, reply, 0, kIPv4, 0, 0, 0, 0, 0, 0};
    asio::async_write(client_, asio::buffer(reply_),
                      [self = shared_from_this()](std::error_code error, std::size_t) {
                          if (error) return self->close();
                          self->lingerAndClose();
                      });
}

// Closing with unread input in the socket would send a reset that can overtake the reply, so
// send FIN first and read until the client closes its side.
void Socks5Session::lingerAndClose() {
    std::error_code ignored;
    client_.shutdown(tcp::socket::shutdown_send, ignored);
    client_.async_read_some(asio::buffer(toClient_),
                            [self = shared_from_this()](std::error_code error, std::size_t) {
                                if (error) return self->close();
                                self->lingerAndClose();
                            });
}

void Socks5Session::pump(tcp::socket& from, tcp::socket& to, Buffer& buffer) {
    from.async_read_some(asio::buffer(buffer), [self = shared_from_this(), &from, &to, &buffer](
                                                   std::error_code error, std::size_t size) {
        if (error == asio::error::eof) {
            std::error_code ignored;
            to.shutdown(tcp::socket::shutdown_send, ignored);
            if (--self->openDirections_ == 0) self->close();
            return;
        }
        if (error) return self->close();
        asio::async_write(to, asio::buffer(buffer.data(), size),
                          [self, &from, &to, &buffer](std::error_code error, std::size_t) {
                              if (error) return self->close();
                              self->pump(from, to, buffer);
                          });
    });
}

void Socks5Session::close() {
    std::error_code ignored;
    resolver_.cancel();
    client_.close(ignored);
    upstream_.close(ignored);
}

}  // namespace nimbra::standin
