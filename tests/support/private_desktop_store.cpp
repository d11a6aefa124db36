#include "support/private_desktop_store.hpp"

#include <chrono>
#include <fstream>
#include <stdexcept>

#include "base/subprocess.hpp"
#include "base/text.hpp"

namespace nimbra::testing {
namespace {

namespace fs = std::filesystem;

// The GNOME keys: "<key>" in org.gnome.system.proxy, "<kind>.<key>" in its child schemas.
const std::vector<std::string> kGnomeKeys{
    "mode",      "autoconfig-url", "ignore-hosts", "use-same-proxy", "http.host",
    "http.port", "https.host",     "https.port",   "socks.host",     "socks.port"};
const std::vector<std::string> kKdeKeys{"ProxyType",  "Proxy Config Script", "httpProxy",
                                        "httpsProxy", "socksProxy",          "NoProxyFor"};
constexpr const char* kAbsent = "\x01unset\x01";

std::vector<std::string> gsettings(const std::string& verb, const std::string& name) {
    const auto dot = name.find('.');
    if (dot == std::string::npos) return {"gsettings", verb, "org.gnome.system.proxy", name};
    return {"gsettings", verb, "org.gnome.system.proxy." + name.substr(0, dot),
            name.substr(dot + 1)};
}

std::vector<std::string> kreadconfig(const std::string& key) {
    return {"kreadconfig5", "--file", "kioslaverc", "--group", "Proxy Settings",
            "--key",        key,      "--default",  kAbsent};
}

std::string run(std::vector<std::string> argv) {
    Subprocess::Options options;
    options.argv = std::move(argv);
    const std::string program = options.argv.front();
    const auto result = Subprocess::run(std::move(options), std::chrono::seconds(30));
    if (!result.status.succeeded()) {
        throw std::runtime_error(program + " failed: " + result.err);
    }
    std::string out = result.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

void require(const std::string& program, const std::string& package) {
    if (::access(("/usr/bin/" + program).c_str(), X_OK) != 0) {
        throw std::runtime_error("/usr/bin/" + program + " is missing: install " + package);
    }
}

}  // namespace

PrivateDesktopStore::PrivateDesktopStore(const fs::path& dir, Desktop desktop)
    : dir_(dir), desktop_(desktop) {
    for (const char* sub : {"config", "system-config", "data", "home", "runtime"})
        fs::create_directories(dir_ / sub);
    fs::permissions(dir_ / "runtime", fs::perms::owner_all);
    setEnv("XDG_CONFIG_HOME", (dir_ / "config").string());
    // An empty one keeps this machine's /etc/xdg/kioslaverc out of every reading.
    setEnv("XDG_CONFIG_DIRS", (dir_ / "system-config").string());
    setEnv("XDG_DATA_HOME", (dir_ / "data").string());
    setEnv("XDG_RUNTIME_DIR", (dir_ / "runtime").string());
    setEnv("HOME", (dir_ / "home").string());
    if (desktop_ == Desktop::gnome) {
        require("gsettings", "libglib2.0-bin, dconf-gsettings-backend and dconf-service");
        // The profile names the user database alone: no system database or lock-down of this
        // machine plays a part.
        std::ofstream(dir_ / "dconf-profile") << "user-db:user\n";
        setEnv("DCONF_PROFILE", (dir_ / "dconf-profile").string());
        setEnv("GSETTINGS_BACKEND", "dconf");
        setEnv("XDG_CURRENT_DESKTOP", "GNOME");
    } else {
        require("kwriteconfig5", "libkf5config-bin");
        setEnv("XDG_CURRENT_DESKTOP", "KDE");
    }
    // KDE's reparse signal goes to this bus too, never to a real session.
    bus_.emplace(dir_ / "dbus");
    setEnv("DBUS_SESSION_BUS_ADDRESS", bus_->address());
}

PrivateDesktopStore::~PrivateDesktopStore() {
    if (bus_) bus_->stop();
    // The environment goes back in reverse order of setting.
    while (!env_.empty()) env_.pop_back();
}

void PrivateDesktopStore::setEnv(const std::string& name, const std::string& value) {
    env_.push_back(std::make_unique<ScopedEnv>(name, value));
}

PrivateDesktopStore::Values PrivateDesktopStore::values() const {
    Values values;
    if (desktop_ == Desktop::gnome) {
        for (const auto& key : kGnomeKeys) values[key] = run(gsettings("get", key));
    } else {
        for (const auto& key : kKdeKeys) {
            std::string value = run(kreadconfig(key));
            if (value != kAbsent) values[key] = std::move(value);
        }
    }
    return values;
}

void PrivateDesktopStore::seed(const Values& values) const {
    for (const auto& [key, value] : values) {
        if (desktop_ == Desktop::gnome) {
            auto argv = gsettings("set", key);
            argv.push_back(value);
            run(std::move(argv));
        } else {
            run({"kwriteconfig5", "--file", "kioslaverc", "--group", "Proxy Settings", "--key", key,
                 value});
        }
    }
    if (desktop_ == Desktop::gnome && !fs::exists(dir_ / "config" / "dconf" / "user")) {
        throw std::runtime_error("dconf did not store the settings");
    }
}

PrivateDesktopStore::Values PrivateDesktopStore::usersManualProxy() const {
    if (desktop_ == Desktop::gnome) {
        return {{"mode", "'manual'"},
                {"autoconfig-url", "'http://wpad.example/wpad.dat'"},
                {"ignore-hosts", "['localhost', 'intranet.example', '10.0.0.0/8']"},
                {"use-same-proxy", "true"},
                {"http.host", "'10.0.0.5'"},
                {"http.port", "3128"},
                {"https.host", "'10.0.0.5'"},
                {"https.port", "3128"},
                {"socks.host", "''"},
                {"socks.port", "0"}};
    }
    return {{"ProxyType", "1"},
            {"httpProxy", "http://10.0.0.5 3128"},
            {"httpsProxy", "http://10.0.0.5 3128"},
            {"NoProxyFor", "localhost,intranet.example"}};
}

PrivateDesktopStore::Values PrivateDesktopStore::usersOtherProxy() const {
    if (desktop_ == Desktop::gnome) {
        Values values = usersManualProxy();
        values["http.host"] = values["https.host"] = "'proxy.other.example'";
        values["http.port"] = values["https.port"] = "8080";
        return values;
    }
    return {{"ProxyType", "1"},
            {"httpProxy", "http://proxy.other.example 8080"},
            {"httpsProxy", "http://proxy.other.example 8080"},
            {"NoProxyFor", "localhost"}};
}

fs::path PrivateDesktopStore::journalFile() const {
    return dir_ / "data" / "Nimbra" / "system-proxy-snapshot.json";
}

}  // namespace nimbra::testing
