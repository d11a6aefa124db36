#pragma once

#include <string>

namespace nimbra::deployment {

// Values that depend on where the provider runs its service rather than on our logic. Each has a
// default and can be overridden by an environment variable, which is how tests point the client
// at local stand-ins.

std::string traceHost();           // NIMBRA_TRACE_HOST, default "www.cloudflare.com"
std::string anycastResolver();     // NIMBRA_ANYCAST_RESOLVER, default "1.1.1.1"
std::string providerEndpointV4();  // NIMBRA_ENDPOINT_V4, default "162.159.198.1"
std::string providerEndpointV6();  // NIMBRA_ENDPOINT_V6, default "2606:4700:103::1"
std::string fremontNat64Prefix();  // NIMBRA_FREMONT_NAT64_PREFIX, default "2602:fc59:b0:64::"
int gatewayProbePort();            // NIMBRA_GATEWAY_PROBE_PORT, default 443 (the MASQUE port)

}  // namespace nimbra::deployment
