#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <vector>

#include "host_map.hpp"

namespace nimbra::standin {

// One client of the SOCKS5 server: the RFC 1928 handshake (no authentication, CONNECT only, IPv4,
// IPv6 and domain-name addresses), then a relay in both directions. EOF from one side becomes a
// half-close towards the other; the session ends once both directions are done or on any error.
// Malformed input just ends the session (with a reply where the protocol has one).
class Socks5Session : public std::enable_shared_from_this<Socks5Session> {
public:
    Socks5Session(asio::ip::tcp::socket client, const HostMap& hosts);
    void start();

private:
    using Buffer = std::array<std::uint8_t, 16 * 1024>;

    void chooseMethod(std::size_t count);
    void readRequest();
    void readAddress(std::uint8_t command, std::uint8_t type, std::size_t size);
    void resolve(std::string name, std::uint16_t port);
    void connect(std::vector<asio::ip::tcp::endpoint> endpoints);
    void succeed();
    void fail(std::uint8_t reply);
    void lingerAndClose();
    void pump(asio::ip::tcp::socket& from, asio::ip::tcp::socket& to, Buffer& buffer);
    void close();

    asio::ip::tcp::socket client_;
    asio::ip::tcp::socket upstream_;
    asio::ip::tcp::resolver resolver_;
    const HostMap& hosts_;
    std::vector<asio::ip::tcp::endpoint> endpoints_;
    std::array<std::uint8_t, 10> reply_{};
    Buffer toUpstream_{};  // also holds the handshake while it is read
    Buffer toClient_{};
    int openDirections_ = 2;
};

}  // namespace nimbra::standin
