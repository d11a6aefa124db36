#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace nimbra::ProxyPAC {

inline constexpr std::size_t kCuratedProxyListSize = 64;

// The domains the auto-split routing script sends through the tunnel, in the order they are
// embedded. Bare lower-case names: an entry also covers every host below it, so "google.com"
// takes in "mail.google.com". Embedded as stored, without normalisation.
std::span<const std::string_view, kCuratedProxyListSize> curatedProxyList();

}  // namespace nimbra::ProxyPAC
