#pragma once

#include <asio/ip/address.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra::nimbrad {

// A plain-DNS resolver the forwarder sends queries to: an IP address and a port (53 unless given).
struct DnsUpstream {
    asio::ip::address address;
    std::uint16_t port = 53;

    // "1.1.1.1", "1.1.1.1:5353", "2606:4700::1111", "[2606:4700::1111]:5353". Nothing else: no
    // names (resolving the resolver would need a resolver) and no port 0.
    static std::optional<DnsUpstream> parse(std::string_view text);
    // The form parse() reads back.
    std::string toString() const;

    bool operator==(const DnsUpstream&) const = default;
};

}  // namespace nimbra::nimbrad
