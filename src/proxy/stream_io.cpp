#include "proxy/stream_io.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

namespace nimbra::stream_io {
namespace {

constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

}  // namespace

asio::awaitable<bool> recvExact(tcp::socket& socket, std::span<std::uint8_t> into) {
    // async_read asks the kernel for at most the bytes still missing, never more.
    auto [error, count] =
        co_await asio::async_read(socket, asio::buffer(into.data(), into.size()), kNoThrow);
    co_return count == into.size();
}

asio::awaitable<void> sendRaw(tcp::socket& socket, asio::const_buffer bytes) {
    co_await asio::async_write(socket, bytes, kNoThrow);
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
    asio::error_code error;
    if (!socket.non_blocking()) socket.non_blocking(true, error);  // a syscall: only once
    std::size_t count = socket.read_some(asio::buffer(into.data(), into.size()), error);
    if (error == asio::error::would_block || error == asio::error::try_again)
        return {ReadOutcome::nothingYet};
    if (error == asio::error::eof) return {ReadOutcome::endOfStream};
    if (error) return {ReadOutcome::failed};
    return {ReadOutcome::data, count};
}

void tuneForRelaying(tcp::socket& socket) {
    asio::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
}

}  // namespace nimbra::stream_io
