#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <map>
#include <string>
#include <vector>

namespace nimbra::ExitProbe {

// Round-trip time to a MASQUE endpoint: one QUIC datagram out, the first datagram back. Blocks
// for at most `timeoutMs`. Returns whole milliseconds (at least 1), or -1 when the host is not a
// numeric address, nothing could be sent, or nothing came back in time.
int measureQuicUdpRtt(const std::string& host, int port, int timeoutMs);

// Time for a TCP handshake with the endpoint, for networks that drop UDP. Blocks for at most
// `timeoutMs`. Returns whole milliseconds (at least 1), or -1.
int measureTcpRtt(const std::string& host, int port, int timeoutMs);

// One exit gateway to measure: `id` is the gateway's stored raw value, which keys the results.
struct GatewayTarget {
    std::string id;
    std::string host;
    int port = 0;

    bool operator==(const GatewayTarget&) const = default;
};

// Every gateway, direct first: the provider's IPv4 endpoint, and the same endpoint embedded in
// the Fremont NAT64 gateway's /96 prefix.
std::vector<GatewayTarget> gatewayTargets();

// Measures every gateway at once on `pool`: QUIC first, TCP when QUIC gets no answer. The result
// has one entry per gateway id, -1 when neither answered; a gateway can take up to twice
// `timeoutMs`. Completes on the awaiting coroutine's executor.
asio::awaitable<std::map<std::string, int>> probeAllGateways(asio::thread_pool& pool,
                                                             int timeoutMs);

}  // namespace nimbra::ExitProbe
