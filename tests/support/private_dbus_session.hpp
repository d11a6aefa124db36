#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"

namespace nimbra::testing {

// A D-Bus session bus of the test's own: `dbus-daemon --session --nofork` listening on a socket in
// a directory the test owns, so tools that talk to the session bus (gsettings through dconf,
// kreadconfig's signals) never reach the user's real session.
//
// Services the bus activates (dconf-service, ...) inherit this process's environment as it is
// when the bus starts: set XDG_CONFIG_HOME, XDG_RUNTIME_DIR and the like first, and point
// DBUS_SESSION_BUS_ADDRESS at address() afterwards.
//
//     PrivateDbusSession bus(dir / "dbus");
//     ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address());
class PrivateDbusSession {
public:
    // Starts the daemon with its socket at <socketDir>/bus (the directory is created) and waits
    // up to 5 s for it to print its address. Throws std::runtime_error, saying what is missing or
    // what the daemon printed, when it does not come up.
    explicit PrivateDbusSession(const std::filesystem::path& socketDir,
                                const std::string& program = "dbus-daemon");
    // stop().
    ~PrivateDbusSession();

    PrivateDbusSession(const PrivateDbusSession&) = delete;
    PrivateDbusSession& operator=(const PrivateDbusSession&) = delete;

    // "unix:path=<socketDir>/bus,guid=...", for DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }

    // Stops the daemon and the services it activated (they share its process group): SIGTERM,
    // SIGKILL after 3 s. Returns what the daemon printed over its life (activations, warnings),
    // for failure messages. Later calls return the same.
    std::string stop();

private:
    Subprocess process_;
    pid_t pid_ = -1;
    std::optional<LineReader> output_;
    std::string address_;
    std::optional<std::string> log_;
};

}  // namespace nimbra::testing
