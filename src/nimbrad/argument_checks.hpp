#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbra::nimbrad {

// Every argument a client sends is checked before anything changes: a root daemon acts on
// nothing it has not understood. Each check returns why the value is refused, or nothing when it
// is acceptable; the reason goes back to the client as the reply's "msg".

// "on" or "off".
std::optional<std::string> refuseSwitch(std::string_view value);
// One of the DNS modes: cloudflare, adguard, nextdns, custom, off.
std::optional<std::string> refuseDnsMode(std::string_view value);
// A custom DNS upstream: an IP address (optionally with a port), or an https:// URL.
std::optional<std::string> refuseDnsUpstream(std::string_view value);
// A NextDNS profile id: 1 to 32 letters and digits.
std::optional<std::string> refuseNextDnsProfile(std::string_view value);
// "none" or an IPv6 prefix for a NAT64 gateway (a /96: up to six groups, ending in "::" or ":").
std::optional<std::string> refuseNat64Prefix(std::string_view value);
// A route exclusion: an IPv4/IPv6 address, a CIDR block, or a domain name (RFC 1123 syntax).
std::optional<std::string> refuseExclusion(std::string_view value);

// The pieces, for callers that need to know which kind an exclusion is.
bool isIpAddress(std::string_view value);
bool isCidr(std::string_view value);
bool isDomainName(std::string_view value);

}  // namespace nimbra::nimbrad
