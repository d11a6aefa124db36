#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "observe/byte_counter_source.hpp"

namespace nimbra {

// The bytes carried by the TCP connections of the engine's SOCKS listener on 127.0.0.1:<port>,
// which is where every byte of the local SOCKS and system proxy modes passes on its way into
// the tunnel. On Linux it asks the kernel for the listener's accepted sockets (sock_diag over
// netlink, with their tcp_info) and reads the counters from the server side of each one:
//
//  - rx (download) = bytes the listener sent to the local apps and they acknowledged
//    (tcpi_bytes_acked);
//  - tx (upload)   = bytes the listener received from the local apps (tcpi_bytes_received).
//
// Connections come and go between samples, so each one is remembered by its socket cookie with
// the counts last seen; when it disappears those counts move into a closed total. The result is
// the closed total plus the live connections' counts: a 64-bit total that never goes down, so
// the monitor's deltas are exact and a connection that closes between two samples still counts
// what it carried up to the last sample that saw it.
//
// The interface name is ignored. Without netlink (another platform, a sandbox that forbids it)
// the counts stay (0, 0); a sample that fails after earlier ones worked repeats the last totals.
// Not thread-safe: one caller (the core thread) at a time.
class SocksConnectionByteCounters final : public ByteCounterSource {
public:
    explicit SocksConnectionByteCounters(int port);

    ByteCounts sample(const std::optional<std::string>& interfaceName) override;

    int port() const { return port_; }

    // Whether this system answers socket-diagnostic queries for this process at all.
    static bool available();

private:
    struct Live {
        ByteCounts counts;
        bool seen = false;
    };

    ByteCounts totals() const;

    int port_;
    ByteCounts closed_;
    std::map<std::uint64_t, Live> live_;
};

}  // namespace nimbra
