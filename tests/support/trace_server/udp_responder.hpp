#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>
#include <chrono>
#include <vector>

namespace nimbra::trace_server {

// The latency probe's target: answers every datagram on 127.0.0.1:<port> with its first 16 bytes
// (all of it when shorter), after `delay`. Binds in the constructor (throws std::runtime_error
// when it cannot) and starts receiving right away.
class UdpResponder {
public:
    static constexpr std::size_t kEchoBytes = 16;

    UdpResponder(asio::io_context& io, int port, std::chrono::milliseconds delay);

    int port() const;

private:
    void receiveNext();
    void onDatagram(const std::error_code& error, std::size_t length);

    asio::io_context& io_;
    asio::ip::udp::socket socket_;
    std::chrono::milliseconds delay_;
    std::vector<char> buffer_;
    asio::ip::udp::endpoint sender_;
};

}  // namespace nimbra::trace_server
