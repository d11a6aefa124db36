#pragma once

#include <asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/daemon_client.hpp"
#include "daemon/daemon_reachability.hpp"
#include "model/app_preferences.hpp"
#include "model/daemon_dns_mode_option.hpp"

namespace nimbra {

// The DNS choice as nimbrad takes it: the mode's raw value and, for NextDNS and a custom
// upstream, the stored profile or upstream (none when that is empty).
struct DaemonDnsChoice {
    std::string mode;
    std::optional<std::string> custom;

    static DaemonDnsChoice stored(const AppPreferences& preferences);
};

// Stores the DNS settings as the settings panel does: the mode's raw value and the NextDNS
// profile, NextDNS device and custom upstream, each trimmed.
void storeDaemonDnsSettings(PreferenceStore& store, DaemonDNSModeOption mode,
                            std::string_view profile, std::string_view device,
                            std::string_view custom);

// nimbrad as the controller sees it: its socket, the two steps that prepare it (the
// configuration file from the preferences, the installation with its administrator prompt) and
// the exchanges, all on one socket. Every call except reachability() blocks: run them on a pool.
// Shared by pointer with the pool jobs, so it outlives any call still running there.
class DaemonService {
public:
    struct Steps {
        // Writes the daemon's configuration from the preferences, with `http2` as the transport
        // (this run's choice, which may differ from the stored one). Never throws.
        std::function<void(bool http2)> syncPreferences;
        // Installs and starts nimbrad unless it already answers; throws DaemonError (among them
        // installCanceled when the user dismisses the prompt).
        std::function<void()> ensureInstalled;
    };

    // `pool` runs the background refresh of the cached reachability.
    DaemonService(std::string socketPath, AppPreferences preferences, Steps steps,
                  asio::thread_pool& pool);

    // The product's own: nimbrad's socket (NIMBRA_DAEMON_SOCKET in tests), its installer, and
    // the configuration in the user's work directory.
    static std::shared_ptr<DaemonService> system(AppPreferences preferences,
                                                 asio::thread_pool& pool);

    const std::string& socketPath() const { return socketPath_; }
    const AppPreferences& preferences() const { return preferences_; }

    void syncPreferences(bool http2) const;
    void ensureInstalled() const;

    // A ping; blocking.
    bool isReachable() const;
    // The cached answer, never blocking, with a refresh behind it; for the core and GUI threads.
    // Before the first ping has come back it says yes: the exchange it guards runs on a pool
    // and finds out for itself, where a no would skip the first status read after connecting.
    bool reachability();

    // One exchange; a refusal ("ok" false) is not an error here.
    DaemonClient::Reply call(const std::string& cmd,
                             std::chrono::milliseconds budget = DaemonClient::kReplyBudget) const;
    // One exchange whose refusal throws DaemonError::CommandFailed with `fallback`.
    DaemonClient::Reply command(const std::string& cmd, const std::vector<std::string>& args,
                                const std::string& fallback) const;
    // "status"; nothing when the exchange failed. A reply without a status counts as one with
    // every field absent.
    std::optional<DaemonClient::Status> status() const;
    // "stop", its reply and any failure ignored; the reply is awaited at most `budget`.
    void stop(std::chrono::milliseconds budget = DaemonClient::kReplyBudget) const noexcept;
    DaemonClient::Status waitUntilReady(std::chrono::milliseconds timeout,
                                        const DaemonClient::ReadyWait& wait) const;

    void setDNS(const DaemonDnsChoice& choice) const;
    void exclude(const std::string& target) const;
    void include(const std::string& target) const;
    void setNAT64(const std::string& prefix) const;
    void setChinaDirect(bool on) const;

private:
    std::string socketPath_;
    AppPreferences preferences_;
    Steps steps_;
    DaemonReachability reachability_;
};

}  // namespace nimbra
