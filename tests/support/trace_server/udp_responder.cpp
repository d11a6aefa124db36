#include "udp_responder.hpp"

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <memory>
#include <stdexcept>
#include <string>

#include "log.hpp"

namespace nimbra::trace_server {

namespace {

asio::ip::udp::socket bindOnLoopback(asio::io_context& io, int port) {
    const asio::ip::udp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                           static_cast<unsigned short>(port));
    asio::ip::udp::socket socket(io);
    std::error_code error;
    socket.open(endpoint.protocol(), error);
    if (!error) socket.bind(endpoint, error);
    if (error) {
        throw std::runtime_error("cannot bind UDP 127.0.0.1:" + std::to_string(port) + ": " +
                                 error.message());
    }
    return socket;
}

// One answer on its way: owns the bytes and the delay timer until the send completes.
struct PendingReply {
    PendingReply(asio::io_context& io, std::string data, asio::ip::udp::endpoint to)
        : timer(io), data(std::move(data)), to(std::move(to)) {}

    asio::steady_timer timer;
    std::string data;
    asio::ip::udp::endpoint to;
};

}  // namespace

UdpResponder::UdpResponder(asio::io_context& io, int port, std::chrono::milliseconds delay)
    : io_(io), socket_(bindOnLoopback(io, port)), delay_(delay), buffer_(64 * 1024) {
    receiveNext();
}

int UdpResponder::port() const {
    return socket_.local_endpoint().port();
}

void UdpResponder::receiveNext() {
    socket_.async_receive_from(
        asio::buffer(buffer_), sender_,
        [this](const std::error_code& error, std::size_t length) { onDatagram(error, length); });
}

void UdpResponder::onDatagram(const std::error_code& error, std::size_t length) {
    if (error == asio::error::operation_aborted) return;
    if (error) {
        // ICMP errors from an earlier reply surface here (ECONNREFUSED); they concern that
        // sender only.
        logLine("udp receive failed: " + error.message());
        receiveNext();
        return;
    }

    const std::string peer = sender_.address().to_string() + ":" + std::to_string(sender_.port());
    logLine("udp " + peer + " datagram of " + std::to_string(length) + " bytes");

    auto reply = std::make_shared<PendingReply>(
        io_, std::string(buffer_.data(), std::min(length, kEchoBytes)), sender_);
    const auto sendReply = [this, reply] {
        socket_.async_send_to(asio::buffer(reply->data), reply->to,
                              [reply](const std::error_code& sendError, std::size_t) {
                                  if (sendError)
                                      logLine("udp reply failed: " + sendError.message());
                              });
    };
    if (delay_.count() == 0) {
        sendReply();
    } else {
        reply->timer.expires_after(delay_);
        reply->timer.async_wait([sendReply](const std::error_code& waitError) {
            if (!waitError) sendReply();
        });
    }
    receiveNext();
}

}  // namespace nimbra::trace_server
