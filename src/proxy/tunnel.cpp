#include "proxy/tunnel.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <memory>

#include "proxy/relay_buffers.hpp"
#include "proxy/stream_io.hpp"

#ifdef __linux__
#include <fcntl.h>
#endif

namespace nimbra {
namespace {

using asio::ip::tcp;
constexpr auto kNoThrow = asio::experimental::as_tuple(asio::use_awaitable);

// The two connections of one tunnel, shared by its two directions.
class Tunnel {
public:
    Tunnel(tcp::socket client, tcp::socket upstream)
        : client_(std::move(client)), upstream_(std::move(upstream)) {}

    tcp::socket& client() { return client_; }
    tcp::socket& upstream() { return upstream_; }

    // A direction ended. Cleanly: pass the end of stream on, and close both once the other
    // direction has ended too. With an error: close both now, which also wakes the other one.
    void finish(tcp::socket& destination, bool cleanly) {
        asio::error_code ignored;
        if (cleanly && --openDirections_ > 0) {
            destination.shutdown(tcp::socket::shutdown_send, ignored);
            return;
        }
        client_.close(ignored);
        upstream_.close(ignored);
    }

private:
    tcp::socket client_;
    tcp::socket upstream_;
    int openDirections_ = 2;
};

// One direction through a pooled user-space buffer.
asio::awaitable<void> copyDirection(std::shared_ptr<Tunnel> tunnel, tcp::socket& from,
                                    tcp::socket& to) {
    BufferPool& buffers = BufferPool::forThisThread();
    for (;;) {
        if (!co_await stream_io::awaitReadable(from)) break;
        BufferPool::Buffer buffer = buffers.acquire();
        auto read = stream_io::readNow(from, std::span(buffer.get(), kRelayChunk));
        if (read.kind == stream_io::ReadOutcome::nothingYet) {
            buffers.release(std::move(buffer));
            continue;
        }
        if (read.kind != stream_io::ReadOutcome::data) {
            buffers.release(std::move(buffer));
            tunnel->finish(to, read.kind == stream_io::ReadOutcome::endOfStream);
            co_return;
        }
        auto [error, written] =
            co_await asio::async_write(to, asio::buffer(buffer.get(), read.count), kNoThrow);
        buffers.release(std::move(buffer));
        if (error) break;
    }
    tunnel->finish(to, false);
}

#ifdef __linux__
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

// Moves `pending` bytes from the pipe into `to`, waiting whenever its send buffer is full.
asio::awaitable<bool> drainPipe(SplicePipe& pipe, std::size_t pending, tcp::socket& to) {
    while (pending > 0) {
        ssize_t moved = ::splice(pipe.readEnd.get(), nullptr, to.native_handle(), nullptr, pending,
                                 kSpliceFlags);
        if (moved > 0) {
            pending -= static_cast<std::size_t>(moved);
            continue;
        }
        if (moved < 0 && stream_io::callWouldBlock()) {
            auto [error] = co_await to.async_wait(tcp::socket::wait_write, kNoThrow);
            if (error) co_return false;
            continue;
        }
        co_return false;
    }
    co_return true;
}

// One direction through a kernel pipe.
asio::awaitable<void> spliceDirection(std::shared_ptr<Tunnel> tunnel, tcp::socket& from,
                                      tcp::socket& to) {
    PipePool& pipes = PipePool::forThisThread();
    for (;;) {
        if (!co_await stream_io::awaitReadable(from)) break;
        std::optional<SplicePipe> pipe = pipes.acquire();
        if (!pipe) break;
        ssize_t moved = ::splice(from.native_handle(), nullptr, pipe->writeEnd.get(), nullptr,
                                 kRelayChunk, kSpliceFlags);
        if (moved < 0 && stream_io::callWouldBlock()) {
            pipes.release(std::move(*pipe));
            continue;
        }
        if (moved <= 0) {
            pipes.release(std::move(*pipe));
            tunnel->finish(to, moved == 0);
            co_return;
        }
        bool delivered = co_await drainPipe(*pipe, static_cast<std::size_t>(moved), to);
        if (!delivered) break;  // the pipe may still hold bytes: it is dropped, not pooled
        pipes.release(std::move(*pipe));
    }
    tunnel->finish(to, false);
}
#endif

asio::awaitable<void> runDirection(std::shared_ptr<Tunnel> tunnel, tcp::socket& from,
                                   tcp::socket& to, PumpMethod method) {
#ifdef __linux__
    if (method == PumpMethod::splice) return spliceDirection(std::move(tunnel), from, to);
#endif
    (void)method;
    return copyDirection(std::move(tunnel), from, to);
}

}  // namespace

PumpMethod preferredPumpMethod() {
#ifdef __linux__
    return PumpMethod::splice;
#else
    return PumpMethod::buffered;
#endif
}

void relayBothWays(tcp::socket client, tcp::socket upstream, PumpMethod method) {
    auto executor = client.get_executor();
    // splice(2) decides blocking by the socket's own flag. Asio has usually set it already for
    // its own asynchronous operations; asking again would cost a syscall per socket.
    asio::error_code ignored;
    if (!client.native_non_blocking()) client.native_non_blocking(true, ignored);
    if (!upstream.native_non_blocking()) upstream.native_non_blocking(true, ignored);
    auto tunnel = std::make_shared<Tunnel>(std::move(client), std::move(upstream));
    asio::co_spawn(executor, runDirection(tunnel, tunnel->client(), tunnel->upstream(), method),
                   asio::detached);
    asio::co_spawn(executor, runDirection(tunnel, tunnel->upstream(), tunnel->client(), method),
                   asio::detached);
}

}  // namespace nimbra
