#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nimbra::nimbrad {

// The MASQUE server addresses that usque will connect to, from its registration file: every
// "endpoint*" value that is an IP address, plus, with a NAT64 gateway chosen, the gateway's
// address for the IPv4 endpoint. These must never be routed into the tunnel they carry.
// Unreadable or malformed text gives an empty list.
std::vector<std::string> registrationEndpoints(std::string_view registrationJson,
                                               std::string_view nat64Prefix);

// Whether the registration gives the tunnel an IPv6 address ("ipv6"): without one, IPv6 is
// blocked while the tunnel is up rather than sent around it.
bool registrationHasIpv6(std::string_view registrationJson);

}  // namespace nimbra::nimbrad
