#include "nimbrad/dns_upstream.hpp"

#include <charconv>

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

}  // namespace

std::optional<DnsUpstream> DnsUpstream::parse(std::string_view text) {
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
    return DnsUpstream{*address, *port};
}

std::string DnsUpstream::toString() const {
    if (port == 53) return address.to_string();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(port);
}

}  // namespace nimbra::nimbrad
