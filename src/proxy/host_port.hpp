#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Host and port text as it appears in proxy request targets ("example.com:8443", "[::1]:993",
// a Host header value). Pure text functions shared by the HTTP relay and the SOCKS5 gateway.
namespace nimbra::hostport {

struct HostPort {
    std::string host;
    std::uint16_t port = 0;

    friend bool operator==(const HostPort&, const HostPort&) = default;
};

// A non-empty run of ASCII digits (leading zeros allowed) whose value is 0..65535. No sign, no
// white space. Port 0 parses: callers that dial decide for themselves whether it is usable.
std::optional<std::uint16_t> parsePort(std::string_view text);

// True for 1..65535, the ports a listener may be asked to bind.
bool isUsablePort(long long port);

// Splits "host:port" the way clients write proxy targets:
//   "[v6]:port" / "[v6]"  -> the text inside the first brackets, the port if it parses, else
//                           `defaultPort`;
//   "host:port"           -> split at the last colon when the port parses and the host part
//                           holds no further colon;
//   anything else         -> the whole text with `defaultPort`, so a bare IPv6 literal such as
//                           "::1" or "a:b:c" stays whole, and so does "host:" or "host:65536".
HostPort splitHostPort(std::string_view text, std::uint16_t defaultPort);

// Dotted-quad IPv4 text. Empty pieces between dots are dropped first ("1..2.3.4" and
// "1.2.3.4." are accepted), then exactly four decimal pieces of 0..255 must remain. Anything
// else (including "1.2.3.256" and "1..2.3") is not an address, and is treated as a host name.
std::optional<std::array<std::uint8_t, 4>> parseIPv4(std::string_view host);

}  // namespace nimbra::hostport
