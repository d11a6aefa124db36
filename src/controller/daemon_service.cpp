#include "controller/daemon_service.hpp"

#include "base/log.hpp"
#include "base/paths.hpp"
#include "base/text.hpp"
#include "daemon/daemon_config.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_install_files.hpp"
#include "daemon/daemon_installer.hpp"
#include "daemon/daemon_socket.hpp"
#include "model/preference_keys.hpp"

namespace nimbra {

DaemonDnsChoice DaemonDnsChoice::stored(const AppPreferences& preferences) {
    DaemonDnsChoice choice{.mode = preferences.daemonDNSMode(), .custom = std::nullopt};
    std::string custom;
    if (choice.mode == rawValue(DaemonDNSModeOption::nextdns)) {
        custom = preferences.daemonDNSProfile();
    } else if (choice.mode == rawValue(DaemonDNSModeOption::custom)) {
        custom = preferences.daemonDNSCustom();
    }
    if (!custom.empty()) choice.custom = std::move(custom);
    return choice;
}

void storeDaemonDnsSettings(PreferenceStore& store, DaemonDNSModeOption mode,
                            std::string_view profile, std::string_view device,
                            std::string_view custom) {
    store.setText(prefkey::daemonDNSMode, std::string(rawValue(mode)));
    store.setText(prefkey::daemonDNSProfile, std::string(text::trim(profile)));
    store.setText(prefkey::daemonDNSDevice, std::string(text::trim(device)));
    store.setText(prefkey::daemonDNSCustom, std::string(text::trim(custom)));
}

DaemonService::DaemonService(std::string socketPath, AppPreferences preferences, Steps steps,
                             asio::thread_pool& pool)
    : socketPath_(std::move(socketPath)),
      preferences_(preferences),
      steps_(std::move(steps)),
      reachability_(pool, socketPath_) {}

std::shared_ptr<DaemonService> DaemonService::system(AppPreferences preferences,
                                                     asio::thread_pool& pool) {
    Steps steps{
        .syncPreferences =
            [preferences](bool http2) {
                // The same files the installer's own sync writes, but with this run's transport:
                // a connect with --http2 must reach the daemon's usque as HTTP/2.
                try {
                    DaemonConfigValues values = DaemonConfigValues::from(preferences);
                    values.http2 = http2;
                    const auto work = paths::workDirectory();
                    writeDaemonConfig(DaemonFiles::in(work).config, values);
                    DaemonInstaller::updateUsqueConfigEndpoint(preferences.nat64Prefix(), work);
                } catch (const std::exception& failure) {
                    logLine("nimbra",
                            std::string("daemon configuration not synced: ") + failure.what());
                }
            },
        .ensureInstalled = [] { DaemonInstaller::ensureInstalled(); },
    };
    return std::make_shared<DaemonService>(daemonSocketPath(), preferences, std::move(steps), pool);
}

void DaemonService::syncPreferences(bool http2) const {
    if (steps_.syncPreferences) steps_.syncPreferences(http2);
}

void DaemonService::ensureInstalled() const {
    if (steps_.ensureInstalled) steps_.ensureInstalled();
}

bool DaemonService::isReachable() const {
    return DaemonClient::isReachable(socketPath_);
}

bool DaemonService::reachability() {
    const std::optional<bool> known = reachability_.cached();
    reachability_.refresh();
    return known.value_or(true);
}

DaemonClient::Reply DaemonService::call(const std::string& cmd,
                                        std::chrono::milliseconds budget) const {
    return DaemonClient::call(cmd, {}, socketPath_, budget);
}

DaemonClient::Reply DaemonService::command(const std::string& cmd,
                                           const std::vector<std::string>& args,
                                           const std::string& fallback) const {
    return DaemonClient::command(cmd, args, fallback, socketPath_);
}

std::optional<DaemonClient::Status> DaemonService::status() const {
    try {
        return call("status").status.value_or(DaemonClient::Status{});
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void DaemonService::stop(std::chrono::milliseconds budget) const noexcept {
    try {
        call("stop", budget);
    } catch (const DaemonError& failure) {
        // Every failed connect and every cancel says "stop", in every mode: a daemon that is not
        // there has nothing to stop and is not worth a line.
        if (!std::holds_alternative<DaemonError::ConnectFailed>(failure.reason())) {
            logLine("nimbra", "nimbrad stop: " + failure.message());
        }
    } catch (const std::exception& failure) {
        logLine("nimbra", std::string("nimbrad stop: ") + failure.what());
    }
}

DaemonClient::Status DaemonService::waitUntilReady(std::chrono::milliseconds timeout,
                                                   const DaemonClient::ReadyWait& wait) const {
    return DaemonClient::waitUntilReady(timeout, socketPath_, wait);
}

void DaemonService::setDNS(const DaemonDnsChoice& choice) const {
    DaemonClient::setDNS(choice.mode, choice.custom, socketPath_);
}

void DaemonService::exclude(const std::string& target) const {
    DaemonClient::exclude(target, socketPath_);
}

void DaemonService::include(const std::string& target) const {
    DaemonClient::include(target, socketPath_);
}

void DaemonService::setNAT64(const std::string& prefix) const {
    DaemonClient::setNAT64(prefix, socketPath_);
}

void DaemonService::setChinaDirect(bool on) const {
    DaemonClient::setChinaDirect(on, socketPath_);
}

}  // namespace nimbra
