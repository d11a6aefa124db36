#pragma once

#include <string_view>

namespace nimbra::shell {

// The application's one reverse-DNS id. It names the desktop entry (<id>.desktop, so the desktop
// matches our windows to it), the well-known D-Bus name whose owner is the one running Nimbra,
// that owner's interface, and later portal sessions and notifications. Change it nowhere else.
inline constexpr std::string_view kAppId = "io.github.nimbra.Nimbra";
// Where the running instance exports the calls a later launch makes (see single_instance.hpp).
inline constexpr std::string_view kAppObjectPath = "/io/github/nimbra/Nimbra";

}  // namespace nimbra::shell
