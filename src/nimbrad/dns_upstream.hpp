#pragma once

#include <asio/ip/address.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// The resolver the forwarder sends queries to: either plain DNS at an IP address and a port (53
// unless given), or DNS-over-HTTPS (RFC 8484) at an https:// URL.
//
// A DoH host is never resolved through the forwarder itself: with the system's DNS pointed at
// the forwarder that would be a loop. So the forwarder connects only to `pinned` addresses (or
// the host itself when it is an IP literal, or the well-known public resolvers' own addresses,
// see knownDohAddresses), and fails the query otherwise. For any other host the daemon calls
// resolveDohHost() once, on its own thread, before it switches: at that moment the system still
// resolves through whatever worked before (the old upstream, or the machine's own resolver
// before the forwarder is in use), so the lookup cannot depend on the upstream being set up.
struct DnsUpstream {
    DnsUpstream() = default;
    // Plain DNS at `address`.
    DnsUpstream(asio::ip::address plainAddress, std::uint16_t plainPort = 53)
        : address(plainAddress), port(plainPort) {}

    // Plain DNS.
    asio::ip::address address;
    std::uint16_t port = 53;
    // DNS-over-HTTPS when not empty: the URL as given ("https://host[:port]/path").
    std::string url;
    // Where the DoH host is to be reached, given to curl as CURLOPT_RESOLVE; empty for plain DNS.
    std::vector<asio::ip::address> pinned;

    // "1.1.1.1", "1.1.1.1:5353", "2606:4700::1111", "[2606:4700::1111]:5353" for plain DNS: no
    // names (resolving the resolver would need a resolver) and no port 0. For DoH,
    // "https://host[:port][/path]" with a host name, an IPv4 address or a bracketed IPv6 address;
    // no user, no fragment, no spaces. `pinned` stays empty.
    static std::optional<DnsUpstream> parse(std::string_view text);
    // The form parse() reads back (the URL for DoH; pinned addresses are not part of it).
    std::string toString() const;

    bool isDoh() const { return !url.empty(); }
    // The DoH URL's host (brackets removed) and port (443 unless given).
    std::string dohHost() const;
    std::uint16_t dohPort() const;

    bool operator==(const DnsUpstream&) const = default;
};

// The addresses of the well-known public DoH resolvers' hosts (dns.nextdns.io,
// dns.adguard-dns.com, cloudflare-dns.com, ...), IPv4 only so that a tunnel without IPv6 still
// reaches them; the host's own address when it is an IP literal; empty otherwise.
std::vector<asio::ip::address> knownDohAddresses(std::string_view host);

// `upstream` with its DoH host pinned: kept when already pinned, else knownDohAddresses, else
// looked up once with getaddrinfo. Blocks on that lookup, so never call it on the forwarder's
// thread. nullopt when the host has no address. Plain upstreams come back unchanged.
std::optional<DnsUpstream> resolveDohHost(DnsUpstream upstream);

// NextDNS's DoH URL for a profile and an optional device name (percent-encoded into the path).
std::string nextDnsUrl(std::string_view profile, std::string_view deviceName = {});

}  // namespace nimbra::nimbrad
