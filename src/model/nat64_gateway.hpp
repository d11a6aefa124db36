#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "model/app_language.hpp"

namespace nimbra {

// The exit gateway: the provider's anycast address directly, or through a public NAT64 gateway
// whose IPv6 /96 prefix is the stored raw value.
enum class NAT64Gateway { direct, usFremont };

inline constexpr std::array kAllNAT64Gateways{NAT64Gateway::direct, NAT64Gateway::usFremont};

// "none" for direct; the gateway's prefix text (ending in "::") otherwise.
std::string rawValue(NAT64Gateway gateway);

// The case whose raw value equals `prefix` exactly; any other text means direct.
NAT64Gateway nat64GatewayFromPrefix(std::string_view prefix);

// The gateway with the lowest measured latency, from latencies keyed by raw value as the gateway
// probe reports them. Only a latency of at least 1 ms counts (-1 means no answer); a tie goes to
// the gateway earlier in kAllNAT64Gateways. nullopt when no gateway answered.
std::optional<NAT64Gateway> fastestGateway(const std::map<std::string, int>& latencies);

std::string_view title(NAT64Gateway gateway, AppLanguage language);
std::string_view subtitle(NAT64Gateway gateway, AppLanguage language);

}  // namespace nimbra
