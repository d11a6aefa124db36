#include "base/deployment.hpp"

#include <cstdlib>

namespace nimbra::deployment {
namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

}  // namespace

std::string traceHost() { return fromEnvironment("NIMBRA_TRACE_HOST", "www.cloudflare.com"); }
std::string anycastResolver() { return fromEnvironment("NIMBRA_ANYCAST_RESOLVER", "1.1.1.1"); }
std::string providerEndpointV4() { return fromEnvironment("NIMBRA_ENDPOINT_V4", "162.159.198.1"); }
std::string providerEndpointV6() {
    return fromEnvironment("NIMBRA_ENDPOINT_V6", "2606:4700:103::1");
}
std::string fremontNat64Prefix() {
    return fromEnvironment("NIMBRA_FREMONT_NAT64_PREFIX", "2602:fc59:b0:64::");
}

}  // namespace nimbra::deployment
