#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// The low 32 bits of a NAT64 address for `ipv4`: two 16-bit groups in lower-case hex without
// leading zeros ("162.159.198.1" -> "a29f:c601"). nullopt for anything but a dotted IPv4 address.
std::optional<std::string> ipv4AsHexGroups(std::string_view ipv4);

// The address through which a NAT64 gateway with the /96 `prefix` reaches `ipv4`: the prefix, then
// the two hex groups, with whatever colons the prefix lacks in between ("2602:fc59:b0:64::" and
// "2602:fc59:b0:64" both give "2602:fc59:b0:64::a29f:c601"). nullopt when `ipv4` is not dotted
// IPv4, the prefix is empty, or no valid IPv6 address results. Both the registration file's
// endpoint and the gateway latency probe use this, so they always name the same address.
std::optional<std::string> nat64Address(std::string_view prefix, std::string_view ipv4);

// Whether inet_pton takes `text` as an IPv6 address (no zone index, no brackets).
bool isIpv6Address(std::string_view text);

}  // namespace nimbra
