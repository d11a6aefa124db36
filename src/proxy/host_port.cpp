#include "proxy/host_port.hpp"

#include <cstddef>

namespace nimbra::hostport {
namespace {

// Digits only, at most `limit`; nullopt for empty text, any other character or overflow.
std::optional<unsigned> parseDecimal(std::string_view text, unsigned limit) {
    if (text.empty()) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > limit) return std::nullopt;  // also stops long runs from overflowing
    }
    return value;
}

}  // namespace

std::optional<std::uint16_t> parsePort(std::string_view text) {
    auto value = parseDecimal(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

bool isUsablePort(long long port) {
    return port >= 1 && port <= 65535;
}

HostPort splitHostPort(std::string_view text, std::uint16_t defaultPort) {
    if (text.starts_with('[')) {
        if (std::size_t close = text.find(']'); close != std::string_view::npos) {
            HostPort result{std::string(text.substr(1, close - 1)), defaultPort};
            std::string_view after = text.substr(close + 1);
            if (after.starts_with(':')) {
                if (auto port = parsePort(after.substr(1))) result.port = *port;
            }
            return result;
        }
    }
    if (std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        std::string_view host = text.substr(0, colon);
        auto port = parsePort(text.substr(colon + 1));
        if (port && host.find(':') == std::string_view::npos) return {std::string(host), *port};
    }
    return {std::string(text), defaultPort};
}

std::optional<std::array<std::uint8_t, 4>> parseIPv4(std::string_view host) {
    std::array<std::uint8_t, 4> octets{};
    std::size_t count = 0;
    std::size_t start = 0;
    while (start <= host.size()) {
        std::size_t dot = host.find('.', start);
        if (dot == std::string_view::npos) dot = host.size();
        std::string_view piece = host.substr(start, dot - start);
        start = dot + 1;
        if (piece.empty()) continue;
        if (count == octets.size()) return std::nullopt;
        auto value = parseDecimal(piece, 255);
        if (!value) return std::nullopt;
        octets[count++] = static_cast<std::uint8_t>(*value);
    }
    if (count != octets.size()) return std::nullopt;
    return octets;
}

}  // namespace nimbra::hostport
