#include "proxy/stream_io.hpp"

#include <sys/socket.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cerrno>

namespace nimbra::stream_io {
namespace {

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int kSendFlags = MSG_DONTWAIT;  // SIGPIPE is ignored for the whole process
#endif

// What one non-blocking send took; 0 when the send buffer is full, nullopt on an error.
std::optional<std::size_t> sendNow(tcp::socket& socket, asio::const_buffer bytes) {
    ssize_t sent = ::send(socket.native_handle(), bytes.data(), bytes.size(), kSendFlags);
    if (sent >= 0) return static_cast<std::size_t>(sent);
    if (callWouldBlock()) return 0;
    return std::nullopt;
}

}  // namespace

asio::awaitable<bool> recvExact(tcp::socket& socket, std::span<std::uint8_t> into) {
    // async_read asks the kernel for at most the bytes still missing, never more.
    auto [error, count] =
        co_await asio::async_read(socket, asio::buffer(into.data(), into.size()), kNoThrow);
    co_return count == into.size();
}

// Handshake messages are a few bytes and fit the send buffer at once. Sending without awaiting
// spares the coroutine a suspension and the thread a pass through the reactor, which counts
// when thousands of tunnels open each second; only a rest that did not fit is awaited.
asio::awaitable<void> sendRaw(tcp::socket& socket, asio::const_buffer bytes) {
    std::optional<std::size_t> sent = sendNow(socket, bytes);
    if (!sent || *sent == bytes.size()) co_return;
    co_await asio::async_write(socket, bytes + *sent, kNoThrow);
}

asio::awaitable<void> replyAndClose(tcp::socket& socket, asio::const_buffer bytes) {
    co_await sendRaw(socket, bytes);
    asio::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
}

asio::awaitable<bool> awaitReadable(tcp::socket& socket) {
    auto [error] = co_await socket.async_wait(tcp::socket::wait_read, kNoThrow);
    co_return !error;
}

ReadOutcome readNow(tcp::socket& socket, std::span<std::uint8_t> into) {
    // MSG_DONTWAIT instead of switching the socket to non-blocking: no extra syscall.
    ssize_t count = ::recv(socket.native_handle(), into.data(), into.size(), MSG_DONTWAIT);
    if (count > 0) return {ReadOutcome::data, static_cast<std::size_t>(count)};
    if (count == 0) return {into.empty() ? ReadOutcome::data : ReadOutcome::endOfStream};
    if (callWouldBlock()) return {ReadOutcome::nothingYet};
    return {ReadOutcome::failed};
}

bool callWouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

void tuneForRelaying(tcp::socket& socket) {
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
}

}  // namespace nimbra::stream_io
