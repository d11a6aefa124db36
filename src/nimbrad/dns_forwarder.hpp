#pragma once

#include <asio/ip/address.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "nimbrad/dns_upstream.hpp"

namespace nimbra::nimbrad {

// A DNS forwarder on a local address, UDP and TCP on the same port, passing every query on to one
// upstream, plain DNS or DNS-over-HTTPS, and the answer back. It keeps no cache: whatever the
// upstream says reaches the client, and a switched upstream takes effect with the very next query.
//
// - UDP clients are forwarded over UDP with a random query id, from one of a small pool of
//   sockets whose random source ports are replaced every few hundred queries; an answer counts
//   only with the id, the socket and the question of a query in flight. A truncated answer is
//   fetched again over TCP. TCP clients are forwarded over TCP.
// - With a DoH upstream, queries from UDP and TCP clients alike go through one DohClient (a
//   thread of its own, connections kept between queries); a UDP client whose answer is too big
//   for it gets an empty truncated one and asks again over TCP.
// - Every query has a time-out (UDP queries share one timer); when the upstream does not answer
//   within it, the client gets SERVFAIL rather than silence, so its resolver moves on at once.
// - Packets that are not a single-question standard query are dropped unanswered. A TCP client
//   gets `tcpIdleTimeout` to send each query; one that stalls mid-message is closed.
//
// The forwarder runs an io_context on a thread of its own, so that a slow command on the daemon's
// strand never delays name resolution for the whole machine. Every public function may be called
// from any thread.
class DnsForwarder {
public:
    struct Options {
        asio::ip::address listenAddress = asio::ip::make_address("127.0.0.1");
        // 0 picks a free port (tests); port() tells which.
        std::uint16_t listenPort = 53;
        DnsUpstream upstream;
        std::chrono::milliseconds queryTimeout{4000};
        std::chrono::milliseconds tcpIdleTimeout{10000};
        // Queries beyond this many in flight are dropped, as a resolver under a flood would.
        std::size_t maxInFlight = 8192;
        std::size_t maxTcpClients = 256;
        // A CA bundle for DoH upstreams instead of the system's (tests only).
        std::string dohCaFile;
    };

    explicit DnsForwarder(Options options);
    ~DnsForwarder();
    DnsForwarder(const DnsForwarder&) = delete;
    DnsForwarder& operator=(const DnsForwarder&) = delete;

    // Binds both sockets and starts the thread. Throws std::system_error when the address cannot
    // be bound (nothing keeps running then). Does nothing when already running.
    void start();
    // Closes the listeners, abandons the queries in flight and joins the thread. Does nothing
    // when not running; start() may follow again.
    void stop();
    bool running() const;

    // The port both listeners are bound to; 0 while stopped.
    std::uint16_t port() const;

    // Queries that arrive from now on go to `upstream`; the ones in flight finish with the old one.
    // The listeners stay as they are.
    void setUpstream(const DnsUpstream& upstream);
    DnsUpstream upstream() const;

private:
    struct Runtime;

    Options options_;
    mutable std::mutex mutex_;  // guards runtime_, options_.upstream and port_
    std::unique_ptr<Runtime> runtime_;
    std::thread thread_;
    std::uint16_t port_ = 0;
};

}  // namespace nimbra::nimbrad
