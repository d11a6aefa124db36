#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <cstdint>
#include <thread>

namespace nimbra::bench {

// The far ends of every measurement, on 127.0.0.1, served by one thread of their own: a sink
// that discards and counts what it receives, an echo server, and an HTTP/1.1 origin that keeps
// connections alive and answers every request with the same small body.
class Origins {
public:
    Origins();
    Origins(const Origins&) = delete;
    Origins& operator=(const Origins&) = delete;
    ~Origins();

    int sinkPort() const { return sink_.local_endpoint().port(); }
    int echoPort() const { return echo_.local_endpoint().port(); }
    int httpPort() const { return http_.local_endpoint().port(); }
    std::uint64_t bytesSunk() const { return sunk_.load(std::memory_order_relaxed); }

private:
    asio::io_context context_;
    asio::ip::tcp::acceptor sink_, echo_, http_;
    std::atomic<std::uint64_t> sunk_{0};
    std::thread thread_;
};

}  // namespace nimbra::bench
