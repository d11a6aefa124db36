#include "nimbrad/dns_choice.hpp"

#include <cctype>
#include <cstdio>

namespace nimbra::nimbrad {
namespace {

// The device name goes into a URL path: anything but unreserved characters is percent-encoded.
std::string urlPathPiece(const std::string& text) {
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            encoded += escape;
        }
    }
    return encoded;
}

}  // namespace

std::optional<std::string> dnsUpstreamFor(const std::string& mode, const std::string& custom,
                                          const std::string& profile, const std::string& device) {
    if (mode == "cloudflare") return "1.1.1.1";
    if (mode == "adguard") return "94.140.14.14";
    if (mode == "nextdns") {
        if (profile.empty()) return "45.90.28.0";
        std::string url = "https://dns.nextdns.io/" + profile;
        if (!device.empty()) url += "/" + urlPathPiece(device);
        return url;
    }
    // A custom mode without an upstream is a half-finished setting, not a wish to resolve
    // nothing: Cloudflare's resolver keeps names working until the user fills it in.
    if (mode == "custom") return custom.empty() ? "1.1.1.1" : custom;
    return std::nullopt;
}

}  // namespace nimbra::nimbrad
