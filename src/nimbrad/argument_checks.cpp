#include "nimbrad/argument_checks.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "nimbrad/dns_upstream.hpp"

namespace nimbra::nimbrad {
namespace {

std::string quoted(std::string_view value) {
    // Shown back to the client: keep it short and printable.
    std::string shown;
    for (char c : value.substr(0, 64)) {
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    return "\"" + shown + (value.size() > 64 ? "…\"" : "\"");
}

bool isIpv4(std::string_view value) {
    std::array<unsigned char, 4> bytes{};
    return value.size() < 16 && ::inet_pton(AF_INET, std::string(value).c_str(), &bytes) == 1;
}

bool isIpv6(std::string_view value) {
    std::array<unsigned char, 16> bytes{};
    return value.size() < 46 && ::inet_pton(AF_INET6, std::string(value).c_str(), &bytes) == 1;
}

std::optional<int> number(std::string_view digits) {
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    int value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

bool isLabel(std::string_view label) {
    if (label.empty() || label.size() > 63) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    return std::all_of(label.begin(), label.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
    });
}

}  // namespace

bool isIpAddress(std::string_view value) {
    return isIpv4(value) || isIpv6(value);
}

bool isCidr(std::string_view value) {
    const auto slash = value.find('/');
    if (slash == std::string_view::npos) return false;
    const std::string_view address = value.substr(0, slash);
    const auto bits = number(value.substr(slash + 1));
    if (!bits || *bits < 0) return false;
    if (isIpv4(address)) return *bits <= 32;
    return isIpv6(address) && *bits <= 128;
}

bool isDomainName(std::string_view value) {
    if (!value.empty() && value.back() == '.') value.remove_suffix(1);
    if (value.empty() || value.size() > 253 || isIpAddress(value)) return false;
    // At least two labels: a single word is more likely a typo than a host to route around.
    if (value.find('.') == std::string_view::npos) return false;
    std::string_view label;
    while (true) {
        const auto dot = value.find('.');
        label = value.substr(0, dot);
        if (!isLabel(label)) return false;
        if (dot == std::string_view::npos) break;
        value.remove_prefix(dot + 1);
    }
    // A top-level label is never all digits: "10.0.0.300" is a broken address, not a name.
    return !std::all_of(label.begin(), label.end(),
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

std::optional<std::string> refuseSwitch(std::string_view value) {
    if (value == "on" || value == "off") return std::nullopt;
    return "expected on or off, not " + quoted(value);
}

std::optional<std::string> refuseDnsMode(std::string_view value) {
    for (std::string_view mode : {"cloudflare", "adguard", "nextdns", "custom", "off"}) {
        if (value == mode) return std::nullopt;
    }
    return "unknown DNS mode " + quoted(value) +
           " (expected cloudflare, adguard, nextdns, custom or off)";
}

namespace {

// Loopback (127.0.0.0/8 with 127.0.0.53, ::1, and both as IPv4-mapped) or unspecified.
bool isThisMachine(asio::ip::address address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address.is_loopback() || address.is_unspecified();
}

}  // namespace

std::optional<std::string> refuseDnsUpstream(std::string_view value) {
    // The forwarder's own parser decides, so nothing accepted here fails later.
    if (const auto upstream = DnsUpstream::parse(value)) {
        asio::error_code notLiteral;
        const auto address = upstream->isDoh()
                                 ? asio::ip::make_address(upstream->dohHost(), notLiteral)
                                 : upstream->address;
        if (notLiteral || !isThisMachine(address)) return std::nullopt;
        // The forwarder listens on this machine and the system resolver asks it: an upstream
        // here would get the forwarder's queries back, directly or through that resolver, and
        // pass them on again until every slot is taken.
        return "a DNS upstream on this machine would send the queries back to nimbrad's own DNS "
               "forwarder; use an address elsewhere, not " +
               quoted(value);
    }
    if (value.starts_with("https://"))
        return "not a usable DNS-over-HTTPS address: " + quoted(value);
    return "expected an IP address (optionally with a port) or an https:// URL, not " +
           quoted(value);
}

std::optional<std::string> refuseNextDnsProfile(std::string_view value) {
    const bool valid =
        !value.empty() && value.size() <= 32 && std::all_of(value.begin(), value.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0;
        });
    if (valid) return std::nullopt;
    return "not a NextDNS profile id: " + quoted(value);
}

std::optional<std::string> refuseNat64Prefix(std::string_view value) {
    if (value == "none") return std::nullopt;
    if (value.ends_with(':') && !value.ends_with("::")) {
        // "64:ff9b:0:0:0:0:" -- six groups and a colon; the address is complete with the
        // embedded IPv4 appended.
        if (isIpv6(std::string(value) + "0:0")) return std::nullopt;
    } else if (value.ends_with("::") && isIpv6(std::string(value) + "1.2.3.4")) {
        return std::nullopt;
    }
    return "not a NAT64 prefix: " + quoted(value) + " (expected none or an IPv6 /96 prefix)";
}

std::optional<std::string> refuseExclusion(std::string_view value) {
    if (isIpAddress(value) || isCidr(value) || isDomainName(value)) return std::nullopt;
    return "expected an IP address, a CIDR block or a domain name, not " + quoted(value);
}

}  // namespace nimbra::nimbrad
