#include "nimbrad/registration_endpoints.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/nat64_address.hpp"
#include "nimbrad/argument_checks.hpp"

namespace nimbra::nimbrad {
namespace {

nlohmann::json parseObject(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    return json.is_object() ? json : nlohmann::json::object();
}

}  // namespace

std::vector<std::string> registrationEndpoints(std::string_view registrationJson,
                                               std::string_view nat64Prefix) {
    const auto json = parseObject(registrationJson);
    std::vector<std::string> endpoints;
    auto add = [&](const std::string& address) {
        if (isIpAddress(address) &&
            std::find(endpoints.begin(), endpoints.end(), address) == endpoints.end())
            endpoints.push_back(address);
    };
    for (const auto& [key, value] : json.items())
        if (key.starts_with("endpoint") && value.is_string()) add(value.get<std::string>());
    if (!nat64Prefix.empty() && nat64Prefix != "none") {
        if (auto v4 = json.find("endpoint_v4"); v4 != json.end() && v4->is_string())
            if (auto embedded = nat64Address(nat64Prefix, v4->get<std::string>())) add(*embedded);
    }
    return endpoints;
}

bool registrationHasIpv6(std::string_view registrationJson) {
    const auto json = parseObject(registrationJson);
    const auto ipv6 = json.find("ipv6");
    return ipv6 != json.end() && ipv6->is_string() && isIpv6Address(ipv6->get<std::string>());
}

}  // namespace nimbra::nimbrad
