#include "host_map.hpp"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "base/text.hpp"

namespace nimbra::standin {
namespace {

std::string normalName(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    return text::toLowerAscii(name);
}

}  // namespace

HostMap HostMap::parse(std::string_view list) {
    HostMap map;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const auto entry = text::trim(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        if (entry.empty()) continue;

        const auto bad = [&] {
            return std::invalid_argument("USQUE_STANDIN_HOSTS: cannot read \"" +
                                         std::string(entry) + "\"");
        };
        const auto equals = entry.find('=');
        if (equals == std::string_view::npos || equals == 0) throw bad();
        std::string_view address = entry.substr(equals + 1);
        std::string_view port;
        if (address.starts_with('[')) {
            const auto close = address.find(']');
            if (close == std::string_view::npos) throw bad();
            const auto after = address.substr(close + 1);
            if (!after.empty() && !after.starts_with(':')) throw bad();
            port = after.empty() ? after : after.substr(1);
            address = address.substr(1, close - 1);
        } else if (std::count(address.begin(), address.end(), ':') == 1) {
            port = address.substr(address.find(':') + 1);
            address = address.substr(0, address.find(':'));
        }

        Target target;
        std::error_code error;
        target.address = asio::ip::make_address(std::string(address), error);
        if (error) throw bad();
        if (!port.empty()) {
            const auto [end, status] =
                std::from_chars(port.data(), port.data() + port.size(), target.port);
            if (status != std::errc() || end != port.data() + port.size() || target.port == 0) {
                throw bad();
            }
        }
        map.targets_[normalName(entry.substr(0, equals))] = target;
    }
    return map;
}

std::optional<asio::ip::tcp::endpoint> HostMap::lookup(std::string_view name,
                                                       std::uint16_t requestedPort) const {
    const auto found = targets_.find(normalName(name));
    if (found == targets_.end()) return std::nullopt;
    const Target& target = found->second;
    return asio::ip::tcp::endpoint(target.address, target.port != 0 ? target.port : requestedPort);
}

}  // namespace nimbra::standin
