// The settings nimbrad applies at run time (DNS, route exclusions, China-direct) and the mirror
// of its state in the published fields. Every exchange runs on a pool; the core thread only
// stores, spawns and applies. Switches may overlap: their results land in completion order and
// the next status read settles the mirrored fields. An answer that comes back after its
// connection (or the idle time before one) has ended is dropped: the status is cleared by then,
// and a late interface name or warning would describe a tunnel that is gone.

#include "base/async/await_blocking.hpp"
#include "base/async/sleep.hpp"
#include "base/text.hpp"
#include "controller/daemon_status_mirror.hpp"
#include "controller/warp_controller.hpp"
#include "l10n/localized_error.hpp"
#include "model/preference_keys.hpp"

namespace nimbra {

void WarpController::setDnsModeOption(DaemonDNSModeOption mode) {
    if (quitting_) return;
    prefs_.store().setText(prefkey::daemonDNSMode, rawValue(mode));
    state_.update([&](ControllerSnapshot& s) { s.dnsModeOption = mode; });
    if (state().isConnected()) applyDaemonDNSLive();
}

void WarpController::setDnsDrafts(std::string profile, std::string device, std::string custom) {
    state_.update([&](ControllerSnapshot& s) {
        s.dnsProfileDraft = std::move(profile);
        s.dnsDeviceDraft = std::move(device);
        s.dnsCustomDraft = std::move(custom);
    });
}

void WarpController::applyDaemonDNSLive() {
    if (quitting_ || state().connectionMode != ConnectionMode::realTun) return;
    const ControllerSnapshot& s = state();
    storeDaemonDnsSettings(prefs_.store(), s.dnsModeOption, s.dnsProfileDraft, s.dnsDeviceDraft,
                           s.dnsCustomDraft);
    tasks_.spawn(runDnsSwitch(connection_.generation, DaemonDnsChoice::stored(prefs_)));
}

// The configuration file first (it also carries the NextDNS device name, which the command
// does not), then the command; either way the status read afterwards shows what runs.
asio::awaitable<void> WarpController::runDnsSwitch(int64_t generation, DaemonDnsChoice choice) {
    auto switchDns = [daemon = services_.daemon, choice, http2 = transportInUse(),
                      lang = language()]() -> std::string {
        daemon->syncPreferences(http2);
        try {
            daemon->setDNS(choice);
            return {};
        } catch (...) {
            return describeError(std::current_exception(), lang);
        }
    };
    const std::string warning = co_await awaitBlocking(runtime_.lifecyclePool(), switchDns);
    if (generation != connection_.generation) co_return;
    state_.update([&](ControllerSnapshot& s) { s.dnsWarning = warning; });
    refreshDaemonStatus();
}

void WarpController::addDaemonExclude(const std::string& draft) {
    const std::string target(text::trim(draft));
    if (quitting_ || target.empty()) return;  // the daemon judges everything else
    tasks_.spawn(runExcludeChange(connection_.generation, target, /*add=*/true));
}

void WarpController::removeDaemonExclude(const std::string& entry) {
    if (quitting_) return;
    tasks_.spawn(runExcludeChange(connection_.generation, entry, /*add=*/false));
}

// Adding rewrites the configuration first so the daemon's file and its running state agree;
// removing sends the entry exactly as the daemon listed it.
asio::awaitable<void> WarpController::runExcludeChange(int64_t generation, std::string target,
                                                       bool add) {
    auto change = [daemon = services_.daemon, target, add, http2 = transportInUse(),
                   lang = language()]() -> std::optional<std::string> {
        try {
            if (add) {
                daemon->syncPreferences(http2);
                daemon->exclude(target);
            } else {
                daemon->include(target);
            }
            return std::nullopt;
        } catch (...) {
            return describeError(std::current_exception(), lang);
        }
    };
    const std::optional<std::string> refused =
        co_await awaitBlocking(runtime_.lifecyclePool(), change);
    if (generation != connection_.generation) co_return;
    if (refused) {
        state_.update([&](ControllerSnapshot& s) { s.dnsWarning = *refused; });
    } else {
        refreshDaemonStatus();
    }
}

void WarpController::setChinaDirect(bool on) {
    if (quitting_) return;
    prefs_.store().setBoolean(prefkey::chinaDirect, on);
    state_.update([&](ControllerSnapshot& s) { s.chinaDirect = on; });
    tasks_.spawn(runChinaDirect(on, state().isConnected()));
}

// The preference and the file keep the new value whatever the daemon answers.
asio::awaitable<void> WarpController::runChinaDirect(bool on, bool tellDaemon) {
    auto apply = [daemon = services_.daemon, on, tellDaemon, http2 = transportInUse()] {
        daemon->syncPreferences(http2);
        if (!tellDaemon) return;
        try {
            daemon->setChinaDirect(on);
        } catch (const std::exception&) {
            // The next start reads the configuration file.
        }
    };
    co_await awaitBlocking(runtime_.lifecyclePool(), apply);
}

// ---- the daemon's state ------------------------------------------------------------------

void WarpController::refreshDaemonStatus() {
    if (quitting_ || state().connectionMode != ConnectionMode::realTun) return;
    if (!services_.daemon->reachability()) return;
    tasks_.spawn(fetchDaemonStatus(connection_.generation));
}

asio::awaitable<void> WarpController::fetchDaemonStatus(int64_t generation) {
    auto read = [daemon = services_.daemon] { return daemon->status(); };
    const std::optional<DaemonClient::Status> status =
        co_await awaitBlocking(runtime_.blockingPool(), read);
    if (generation != connection_.generation) co_return;
    state_.setDaemonReachable(status.has_value());
    if (status) applyDaemonStatus(*status);
}

void WarpController::applyDaemonStatus(const DaemonClient::Status& status) {
    // The TUN's traffic passes the daemon's interface, not only the compatibility SOCKS
    // gateway: measure that interface as soon as it is known (a no-op once it is the target).
    if (status.tunIface && traffic_->isMonitoring()) traffic_->start(*status.tunIface);
    ControllerSnapshot next = state();
    if (!mirrorDaemonStatus(next, status)) return;  // unchanged: no snapshot for the views
    state_.update([&](ControllerSnapshot& s) { mirrorDaemonStatus(s, status); });
}

void WarpController::startStatusPolling() {
    stopStatusPolling();
    statusPollTask_ = tasks_.spawn(pollDaemonStatus(statusPollGeneration_));
}

void WarpController::stopStatusPolling() {
    if (statusPollTask_) statusPollTask_->cancel();
    statusPollTask_.reset();
    ++statusPollGeneration_;
}

// While nimbrad's TUN is up: a ping and, when it answers, a status read, every few seconds.
// Both run on the pool; a read that comes back after the polling stopped is dropped.
asio::awaitable<void> WarpController::pollDaemonStatus(int64_t generation) {
    while (generation == statusPollGeneration_) {
        auto read = [daemon = services_.daemon]() -> std::optional<DaemonClient::Status> {
            if (!daemon->isReachable()) return std::nullopt;
            return daemon->status();
        };
        const std::optional<DaemonClient::Status> status =
            co_await awaitBlocking(runtime_.blockingPool(), read);
        if (generation != statusPollGeneration_) co_return;
        state_.setDaemonReachable(status.has_value());
        if (status) applyDaemonStatus(*status);
        co_await sleepFor(timings_.daemonStatusPoll);
    }
}

void WarpController::clearTunStatus() {
    stopStatusPolling();
    state_.clearTunStatus();
}

}  // namespace nimbra
