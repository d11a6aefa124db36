#pragma once

#include <cstdint>
#include <string>

#include "base/unique_fd.hpp"
#include "daemon/daemon_helper_request.hpp"
#include "daemon/hostile_path.hpp"
#include "daemon/systemd_install.hpp"

// The root helper's two jobs: put the packaged nimbrad's service in place for the invoking user,
// or take it away. It writes the same unit the staged install script installs (one renderer,
// systemd::unitFile), with the package's nimbrad run in place, and the root-owned usque copy the
// unit runs. Every check that can refuse runs before the first change.
namespace nimbra::daemon_helper {

// No usque build comes near this; a larger "program" is someone filling the disk as root.
inline constexpr std::uint64_t kMaxUsqueSize = 256ull * 1024 * 1024;

// Where the helper works. standard() gives the fixed places of the package; nothing in the
// environment changes them. Tests aim them at a temporary root and a stand-in systemctl.
struct Places {
    systemd::Targets targets;
    std::string socket;

    static Places standard();
};

// An install with everything it needs checked and opened.
struct PreparedInstall {
    std::string unit;
    UniqueFd usque;  // invalid when no usque was named
};

// Opens the user's data folder and usque as the user, checks the packaged nimbrad is root's
// alone, and renders the unit. Throws hostile_path::Refused; changes nothing.
PreparedInstall prepareInstall(const Places& places, const hostile_path::User& user,
                               const Request& request);

// Stops the old service, installs the usque copy (an older copy stays when none is given) and the
// unit, reloads systemd, enables and restarts the service. Throws on the first failing step.
void install(const Places& places, const PreparedInstall& prepared);

// Stops and disables the service and removes the unit, the usque copy and a nimbrad copy an
// install from a build left; the package's nimbrad and the user's files stay.
void uninstall(const Places& places);

}  // namespace nimbra::daemon_helper
