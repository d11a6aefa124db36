#pragma once

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "proxy/socks5_wire.hpp"

// The socket operations the relay and the gateway share for their handshakes. Everything here
// runs on the owning service's io_context thread.
namespace nimbra::stream_io {

using asio::ip::tcp;

// Reads exactly `into.size()` bytes and not one more, so whatever the peer sent after them stays
// in the socket for the tunnel. False on an error or an end of stream before the count.
asio::awaitable<bool> recvExact(tcp::socket& socket, std::span<std::uint8_t> into);

// What one non-blocking read brought.
struct ReadOutcome {
    enum Kind { data, nothingYet, endOfStream, failed } kind;
    std::size_t count = 0;
};

// Reads what the socket holds now, at most `into.size()` bytes, without waiting.
ReadOutcome readNow(tcp::socket& socket, std::span<std::uint8_t> into);

// Reads one SOCKS5 message, asking `parse` (a socks5 wire parser returning a Step) after every
// read how much more to read exactly. The bytes of the message on success; nullopt when the
// parser calls it malformed or the read fails.
template <typename Parser>
asio::awaitable<std::optional<socks5::Bytes>> recvMessage(tcp::socket& socket, Parser parse) {
    socks5::Bytes received;
    for (;;) {
        socks5::Step step = parse(socks5::ByteView(received));
        if (step.status == socks5::Status::done) co_return received;
        if (step.status == socks5::Status::malformed) co_return std::nullopt;
        std::size_t had = received.size();
        received.resize(had + step.count);
        auto missing = std::span(received).subspan(had);
        // The start of a message answers something just sent, so it is awaited. The rest came
        // in the same segment and is usually there: reading it at once spares a suspension.
        if (had > 0) {
            ReadOutcome now = readNow(socket, missing);
            if (now.kind == ReadOutcome::endOfStream || now.kind == ReadOutcome::failed)
                co_return std::nullopt;
            missing = missing.subspan(now.count);
        }
        if (missing.empty()) continue;
        bool complete = co_await recvExact(socket, missing);
        if (!complete) co_return std::nullopt;
    }
}

// Sends all of `bytes`. A send error is not reported: the next read on the connection fails
// anyway, and the caller closes it then.
asio::awaitable<void> sendRaw(tcp::socket& socket, asio::const_buffer bytes);

// Sends a final reply, then closes the connection.
asio::awaitable<void> replyAndClose(tcp::socket& socket, asio::const_buffer bytes);

// Waits until the socket has something to read (bytes, an end of stream or an error) without
// reading it, so a connection that is only waiting holds no buffer. False when the wait failed,
// e.g. because the connection was closed.
asio::awaitable<bool> awaitReadable(tcp::socket& socket);

// Whether the non-blocking call that just failed (errno) only has to be tried again later.
bool callWouldBlock();

// Small-message latency matters more than packing for a relay: every hop turns Nagle off.
void tuneForRelaying(tcp::socket& socket);

}  // namespace nimbra::stream_io
