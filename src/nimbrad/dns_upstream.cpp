#include "nimbrad/dns_upstream.hpp"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstring>
#include <memory>

namespace nimbra::nimbrad {

namespace {

std::optional<asio::ip::address> parseAddress(std::string_view text) {
    asio::error_code error;
    auto address = asio::ip::make_address(std::string(text), error);
    if (error) return std::nullopt;
    return address;
}

std::optional<std::uint16_t> parsePort(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value == 0 || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// RFC 1123 host name syntax: dot-separated labels of letters, digits and inner hyphens.
bool isHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto dot = std::min(name.find('.', start), name.size());
        const auto label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (const char c : label) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
        }
        start = dot + 1;
    }
    return true;
}

// Printable characters a URL path (and query) may carry unescaped; no spaces, no fragment.
bool isPathCharacter(char c) {
    return c > 0x20 && c < 0x7f &&
           std::string_view(R"("<>\^`{|}#)").find(c) == std::string_view::npos;
}

constexpr std::string_view kHttps = "https://";

struct UrlParts {
    std::string host;  // without brackets
    std::uint16_t port = 443;
};

std::optional<UrlParts> splitDohUrl(std::string_view url) {
    if (url.size() <= kHttps.size() || !equalsIgnoringCase(url.substr(0, kHttps.size()), kHttps))
        return std::nullopt;
    const auto rest = url.substr(kHttps.size());
    const auto slash = std::min(rest.find('/'), rest.size());
    const auto authority = rest.substr(0, slash);
    const auto path = rest.substr(slash);
    if (!std::ranges::all_of(path, isPathCharacter)) return std::nullopt;

    UrlParts parts;
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = authority.substr(1, close - 1);
        const auto after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) return std::nullopt;
        if (!after.empty()) port = after.substr(1);
        const auto address = parseAddress(host);
        if (!address || !address->is_v6() || address->to_v6().scope_id() != 0) return std::nullopt;
    } else {
        const auto colon = authority.find(':');
        if (colon != std::string_view::npos) {
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (!isHostName(host)) return std::nullopt;
    }
    if (!port.empty() || authority.ends_with(':')) {
        const auto parsed = parsePort(port);
        if (!parsed) return std::nullopt;
        parts.port = *parsed;
    }
    parts.host = std::string(host);
    return parts;
}

struct KnownResolver {
    std::string_view host;
    std::array<std::string_view, 2> addresses;
};

// The public DoH resolvers' anycast addresses, as their operators publish them.
constexpr KnownResolver kKnownResolvers[] = {
    {"dns.nextdns.io", {"45.90.28.0", "45.90.30.0"}},
    {"dns.adguard-dns.com", {"94.140.14.14", "94.140.15.15"}},
    {"cloudflare-dns.com", {"1.1.1.1", "1.0.0.1"}},
    {"one.one.one.one", {"1.1.1.1", "1.0.0.1"}},
    {"dns.google", {"8.8.8.8", "8.8.4.4"}},
    {"dns.quad9.net", {"9.9.9.9", "149.112.112.112"}},
};

}  // namespace

std::optional<DnsUpstream> DnsUpstream::parse(std::string_view text) {
    if (text.size() >= kHttps.size() && equalsIgnoringCase(text.substr(0, kHttps.size()), kHttps)) {
        if (!splitDohUrl(text)) return std::nullopt;
        DnsUpstream upstream;
        upstream.url = std::string(text);
        return upstream;
    }
    std::string_view host = text;
    std::optional<std::uint16_t> port = 53;
    if (text.starts_with('[')) {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        host = text.substr(1, close - 1);
        const auto rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) return std::nullopt;
            port = parsePort(rest.substr(1));
        }
        // Brackets are for IPv6 only.
        if (host.find(':') == std::string_view::npos) return std::nullopt;
    } else if (text.find(':') == text.rfind(':') && text.find(':') != std::string_view::npos) {
        // One colon: IPv4 with a port. More than one: a bare IPv6 address.
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        port = parsePort(text.substr(colon + 1));
    }
    if (!port) return std::nullopt;
    const auto address = parseAddress(host);
    if (!address || (text.starts_with('[') && !address->is_v6())) return std::nullopt;
    // Scoped addresses ("fe80::1%eth0") would tie the daemon to one interface's name.
    if (address->is_v6() && address->to_v6().scope_id() != 0) return std::nullopt;
    return DnsUpstream(*address, *port);
}

std::string DnsUpstream::toString() const {
    if (isDoh()) return url;
    if (port == 53) return address.to_string();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(port);
}

std::string DnsUpstream::dohHost() const {
    const auto parts = splitDohUrl(url);
    return parts ? parts->host : std::string();
}

std::uint16_t DnsUpstream::dohPort() const {
    const auto parts = splitDohUrl(url);
    return parts ? parts->port : 0;
}

std::vector<asio::ip::address> knownDohAddresses(std::string_view host) {
    if (const auto literal = parseAddress(host)) return {*literal};
    for (const auto& known : kKnownResolvers) {
        if (!equalsIgnoringCase(known.host, host)) continue;
        std::vector<asio::ip::address> addresses;
        for (const auto text : known.addresses) addresses.push_back(*parseAddress(text));
        return addresses;
    }
    return {};
}

std::optional<DnsUpstream> resolveDohHost(DnsUpstream upstream) {
    if (!upstream.isDoh() || !upstream.pinned.empty()) return upstream;
    const std::string host = upstream.dohHost();
    upstream.pinned = knownDohAddresses(host);
    if (!upstream.pinned.empty()) return upstream;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return std::nullopt;
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, ::freeaddrinfo);
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        asio::ip::address address;
        if (entry->ai_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            asio::ip::address_v4::bytes_type bytes;
            std::memcpy(bytes.data(), &in->sin_addr, bytes.size());
            address = asio::ip::address_v4(bytes);
        } else if (entry->ai_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), &in6->sin6_addr, bytes.size());
            address = asio::ip::address_v6(bytes);
        } else {
            continue;
        }
        if (std::ranges::find(upstream.pinned, address) == upstream.pinned.end())
            upstream.pinned.push_back(address);
    }
    if (upstream.pinned.empty()) return std::nullopt;
    return upstream;
}

std::string nextDnsUrl(std::string_view profile, std::string_view deviceName) {
    std::string url = "https://dns.nextdns.io";
    if (profile.empty()) return url;
    auto append = [&url](std::string_view segment) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        url += '/';
        for (const char c : segment) {
            const auto byte = static_cast<unsigned char>(c);
            if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
                url += c;
            } else {
                url += '%';
                url += kHex[byte >> 4];
                url += kHex[byte & 0x0f];
            }
        }
    };
    append(profile);
    if (!deviceName.empty()) append(deviceName);
    return url;
}

}  // namespace nimbra::nimbrad
