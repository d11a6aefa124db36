#include "base/deployment.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace nimbra::deployment {
namespace {

std::string fromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : fallback;
}

}  // namespace

std::string traceHost() {
    return fromEnvironment("NIMBRA_TRACE_HOST", "www.cloudflare.com");
}
std::string anycastResolver() {
    return fromEnvironment("NIMBRA_ANYCAST_RESOLVER", "1.1.1.1");
}
std::string providerEndpointV4() {
    return fromEnvironment("NIMBRA_ENDPOINT_V4", "162.159.198.1");
}
std::string providerEndpointV6() {
    return fromEnvironment("NIMBRA_ENDPOINT_V6", "2606:4700:103::1");
}
std::string fremontNat64Prefix() {
    return fromEnvironment("NIMBRA_FREMONT_NAT64_PREFIX", "2602:fc59:b0:64::");
}

int gatewayProbePort() {
    constexpr int kDefault = 443;
    const char* value = std::getenv("NIMBRA_GATEWAY_PROBE_PORT");
    if (value == nullptr) return kDefault;
    // Anything but a whole port number is a typo; probing port 443 is the useful answer then.
    const char* end = value + std::strlen(value);
    int port = 0;
    const auto [stop, error] = std::from_chars(value, end, port);
    if (stop == value || stop != end || error != std::errc{} || port < 1 || port > 65535) {
        return kDefault;
    }
    return port;
}

}  // namespace nimbra::deployment
