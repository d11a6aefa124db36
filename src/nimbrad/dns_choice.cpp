#include "nimbrad/dns_choice.hpp"

#include "nimbrad/dns_upstream.hpp"

namespace nimbra::nimbrad {

std::optional<std::string> dnsUpstreamFor(const std::string& mode, const std::string& custom,
                                          const std::string& profile, const std::string& device) {
    if (mode == "cloudflare") return "1.1.1.1";
    if (mode == "adguard") return "94.140.14.14";
    if (mode == "nextdns") {
        if (profile.empty()) return "45.90.28.0";
        return nextDnsUrl(profile, device);
    }
    // A custom mode without an upstream is a half-finished setting, not a wish to resolve
    // nothing: Cloudflare's resolver keeps names working until the user fills it in.
    if (mode == "custom") return custom.empty() ? "1.1.1.1" : custom;
    return std::nullopt;
}

}  // namespace nimbra::nimbrad
