#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/private_dbus_session.hpp"
#include "support/scoped_env.hpp"

namespace nimbra::testing {

// A desktop's real proxy settings store, of the test's own: GNOME's gsettings + dconf behind a
// private session bus, or KDE's kioslaverc through kwriteconfig5/kreadconfig5 in a temporary
// config directory. The environment of this process (and so of every program it starts) points
// there for the object's life: XDG_CONFIG_HOME and XDG_CONFIG_DIRS, XDG_DATA_HOME (Nimbra's work
// directory and its journal), XDG_RUNTIME_DIR, HOME, the bus address, and XDG_CURRENT_DESKTOP
// naming the desktop, so the product picks the same store. The user's real settings are never read
// or written.
class PrivateDesktopStore {
public:
    enum class Desktop { gnome, kde };
    using Values = std::map<std::string, std::string>;

    // Throws std::runtime_error saying which package is missing when the store cannot be used.
    PrivateDesktopStore(const std::filesystem::path& dir, Desktop desktop);
    ~PrivateDesktopStore();

    // Every proxy key of the store, read afresh with the desktop's own tool, as it prints them;
    // keys that are not set are left out.
    Values values() const;
    // Writes these keys with the desktop's own tool.
    void seed(const Values& values) const;

    // A proxy the user set up themselves: a corporate HTTP proxy with its own exceptions.
    Values usersManualProxy() const;
    // Another one, for "the user changed the settings since".
    Values usersOtherProxy() const;

    // Where Nimbra keeps its journal in this world.
    std::filesystem::path journalFile() const;

private:
    void setEnv(const std::string& name, const std::string& value);

    std::filesystem::path dir_;
    Desktop desktop_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    std::optional<PrivateDbusSession> bus_;
};

}  // namespace nimbra::testing
