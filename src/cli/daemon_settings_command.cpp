// `nimbra-cli daemon dns|exclude|include|china-direct`: the settings nimbrad applies while it
// runs, changed the way the window changes them (the preference stored, the daemon's
// configuration rewritten, then the command), with the daemon's answer printed. And the check
// `connect --mode tun` makes before it would need an administrator prompt it cannot show.

#include <unistd.h>

#include <asio/thread_pool.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/preference_store.hpp"
#include "base/text.hpp"
#include "cli/commands.hpp"
#include "controller/daemon_service.hpp"
#include "daemon/daemon_error.hpp"
#include "model/preference_keys.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// The stored preferences, the daemon's configuration rewritten from them, and one command whose
// answer is printed: exit 0 when the daemon accepted it.
class DaemonSettingsRun {
public:
    DaemonSettingsRun() : preferences_(PreferenceStore::standard()) {
        preferences_.migrateIfNeeded();
        daemon_ = DaemonService::system(preferences_, pool_);
    }
    ~DaemonSettingsRun() { pool_.join(); }

    const AppPreferences& preferences() const { return preferences_; }

    int syncAndSend(const std::string& cmd, const std::vector<std::string>& args) {
        daemon_->syncPreferences(preferences_.preferHttp2());
        try {
            const DaemonClient::Reply reply = DaemonClient::call(cmd, args, daemon_->socketPath());
            const std::string msg = reply.msg.value_or("");
            if (reply.ok) {
                std::printf("nimbrad: ok%s%s\n", msg.empty() ? "" : " — ", msg.c_str());
                return 0;
            }
            std::fprintf(stderr, "nimbrad refused %s: %s\n", cmd.c_str(),
                         msg.empty() ? (cmd + " failed").c_str() : msg.c_str());
        } catch (const DaemonError& error) {
            std::fprintf(stderr, "%s\n", error.description(preferences_.uiLanguage()).c_str());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s\n", error.what());
        }
        return kFailed;
    }

private:
    AppPreferences preferences_;
    asio::thread_pool pool_{1};
    std::shared_ptr<DaemonService> daemon_;
};

}  // namespace

int setDaemonDns(const std::string& modeName, const std::optional<std::string>& value) {
    const auto mode = daemonDNSModeOptionFromRaw(modeName);
    if (!mode) {
        std::fprintf(stderr, "unknown DNS mode %s\n", modeName.c_str());
        return kUsageError;
    }
    DaemonSettingsRun run;
    const AppPreferences& prefs = run.preferences();
    // The value belongs to the mode that takes one; without one the stored value stays.
    std::string profile = prefs.daemonDNSProfile();
    std::string custom = prefs.daemonDNSCustom();
    if (value && *mode == DaemonDNSModeOption::nextdns) profile = *value;
    if (value && *mode == DaemonDNSModeOption::custom) custom = *value;
    storeDaemonDnsSettings(prefs.store(), *mode, profile, prefs.daemonDNSDevice(), custom);
    const DaemonDnsChoice choice = DaemonDnsChoice::stored(prefs);
    std::vector<std::string> args{choice.mode};
    if (choice.custom) args.push_back(*choice.custom);
    return run.syncAndSend("dns", args);
}

int changeDaemonExclude(const std::string& target, bool add) {
    const std::string trimmed(text::trim(target));
    if (trimmed.empty()) {
        std::fprintf(stderr, "nothing to %s\n", add ? "exclude" : "include");
        return kUsageError;
    }
    DaemonSettingsRun run;
    return run.syncAndSend(add ? "exclude" : "include", {trimmed});
}

int setDaemonChinaDirect(bool on) {
    DaemonSettingsRun run;
    run.preferences().store().setBoolean(prefkey::chinaDirect, on);
    return run.syncAndSend("chinadirect", {on ? "on" : "off"});
}

std::optional<std::string> realTunInstallBlocker() {
    if (::geteuid() == 0) return std::nullopt;  // installs without a prompt
    asio::thread_pool pool(1);
    const auto daemon = DaemonService::system(AppPreferences::standard(), pool);
    const bool reachable = daemon->isReachable();
    pool.join();
    if (reachable) return std::nullopt;
    // pkexec asks through the desktop's agent, or on the terminal it was started from.
    const bool desktop =
        std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    std::error_code error;
    const bool pkexec = std::filesystem::exists("/usr/bin/pkexec", error);
    if (pkexec && (desktop || terminal)) return std::nullopt;
    return std::string(
        "real TUN needs nimbrad, which is not installed or not running, and no "
        "administrator prompt can be shown here: run `sudo nimbra-cli daemon "
        "install` first, then connect again");
}

}  // namespace nimbra::cli
