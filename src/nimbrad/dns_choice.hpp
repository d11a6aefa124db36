#pragma once

#include <optional>
#include <string>

namespace nimbra::nimbrad {

// Where the forwarder sends queries for a DNS mode: "cloudflare" and "adguard" use their public
// resolvers, "nextdns" DNS-over-HTTPS with the profile (and the device name, so the NextDNS logs
// tell machines apart) or, without a profile, NextDNS's public resolver, "custom" the address
// or https:// URL the user gave. Nothing for "off": no forwarder, the system's DNS untouched.
// The text is what the forwarder's upstream parser reads.
std::optional<std::string> dnsUpstreamFor(const std::string& mode, const std::string& custom,
                                          const std::string& profile, const std::string& device);

}  // namespace nimbra::nimbrad
