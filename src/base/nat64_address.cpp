#include "base/nat64_address.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <span>

namespace nimbra {

std::optional<std::string> ipv4AsHexGroups(std::string_view ipv4) {
    const std::string text(ipv4);
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.s_addr);

    std::array<char, 16> buffer{};
    char* cursor = buffer.data();
    char* const end = buffer.data() + buffer.size();
    const unsigned high = (unsigned{bytes[0]} << 8) | bytes[1];
    const unsigned low = (unsigned{bytes[2]} << 8) | bytes[3];
    cursor = std::to_chars(cursor, end, high, 16).ptr;
    *cursor++ = ':';
    cursor = std::to_chars(cursor, end, low, 16).ptr;
    return std::string(buffer.data(), cursor);
}

bool isIpv6Address(std::string_view text) {
    const std::string copy(text);
    in6_addr address{};
    return ::inet_pton(AF_INET6, copy.c_str(), &address) == 1;
}

std::optional<std::string> nat64Address(std::string_view prefix, std::string_view ipv4) {
    const auto groups = ipv4AsHexGroups(ipv4);
    if (!groups || prefix.empty()) return std::nullopt;

    // A prefix may be written out in full ("64:ff9b:0:0:0:0:") or shortened ("64:ff9b::"), with or
    // without its closing colons. The joins are tried shortest first, so a prefix that already
    // ends the way it should is never given a second "::"; whichever join parses, the hex groups
    // are its last two groups, which is what the gateway translates.
    static constexpr std::array<std::string_view, 1> kAfterDoubleColon{""};
    static constexpr std::array<std::string_view, 2> kAfterColon{"", ":"};
    static constexpr std::array<std::string_view, 2> kAfterGroup{":", "::"};
    std::span<const std::string_view> joins = kAfterGroup;
    if (prefix.ends_with("::")) {
        joins = kAfterDoubleColon;
    } else if (prefix.ends_with(':')) {
        joins = kAfterColon;
    }
    for (const std::string_view join : joins) {
        std::string address(prefix);
        address += join;
        address += *groups;
        if (isIpv6Address(address)) return address;
    }
    return std::nullopt;
}

}  // namespace nimbra
