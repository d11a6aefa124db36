#pragma once

#include <optional>
#include <string>

#include "controller/controller_snapshot.hpp"
#include "model/app_language.hpp"
#include "model/nat64_gateway.hpp"
#include "presentation/color_role.hpp"

// How a gateway's measured round trip reads and what colour it takes.
namespace nimbra::presentation {

// The last round trip measured to `gateway` in milliseconds (below 1: it did not answer);
// nothing when it has not been measured.
std::optional<int> gatewayLatency(const ControllerSnapshot& snapshot, NAT64Gateway gateway);

// The gateway card's text: "Probing…" while a measurement runs, "—" when never measured,
// "Unreachable" when it did not answer, else the milliseconds and " ms".
std::string latencyText(std::optional<int> milliseconds, bool probing, AppLanguage language);

// The navigation row's shorter text: "—" when never measured, ">5s (Slow)" when it did not
// answer (never "0ms"), else the milliseconds and "ms".
std::string compactLatencyText(std::optional<int> milliseconds, AppLanguage language);

// By speed: emerald below 120 ms, accent below 250, amber below 450, coral from 450 on and for
// no answer; muted when never measured.
ColorRole latencyColor(std::optional<int> milliseconds);

}  // namespace nimbra::presentation
