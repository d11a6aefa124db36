#include "proxy/system_proxy/system_proxy.hpp"

#include <unistd.h>

#include <ctime>
#include <utility>

#include "base/log.hpp"
#include "proxy/system_proxy/backend_choice.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "proxy/system_proxy/settings_tool.hpp"
#include "system/process_identity.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kLog = "system-proxy";

std::string pidText(pid_t pid) {
    return "pid " + std::to_string(pid);
}

// Written by this very process: the same pid alone could be a dead one's, reused.
bool writtenByUs(const ProxyJournalEntry& entry) {
    return entry.pid == ::getpid() &&
           entry.processStart == process_identity::startToken(::getpid());
}

}  // namespace

SystemProxy::SystemProxy(std::shared_ptr<ProxyBackend> backend, LocalEndpoints ours,
                         ProxyJournal journal)
    : backend_(std::move(backend)), ours_(std::move(ours)), journal_(std::move(journal)) {}

std::unique_ptr<SystemProxy> SystemProxy::forThisDesktop(LocalEndpoints ours) {
    auto backend = proxyBackendForThisDesktop(ours);
    return std::make_unique<SystemProxy>(std::move(backend), std::move(ours),
                                         ProxyJournal(ProxyJournal::defaultFile()));
}

void SystemProxy::enableAutoSplit(const std::string& host, int httpPort) {
    std::lock_guard change(changeLock_);
    const std::string scope = backend_->chooseScope();
    captureIfNeeded(scope);
    const std::string pacUrl = "http://" + host + ":" + std::to_string(httpPort) +
                               "/proxy.pac?v=" + std::to_string(std::time(nullptr));
    backend_->applyAutoSplit(scope, pacUrl);
}

void SystemProxy::enableClashXProxies(const std::string& host, int httpPort, int socksPort,
                                      const std::vector<std::string>& bypassDomains) {
    std::lock_guard change(changeLock_);
    const std::string scope = backend_->chooseScope();
    captureIfNeeded(scope);
    backend_->applyFull(scope, FullProxyRequest{host, httpPort, socksPort, bypassDomains});
}

void SystemProxy::captureIfNeeded(const std::string& scope) {
    std::lock_guard lock(priorLock_);
    if (prior_) return;
    // A journal from an earlier run holds the user's real settings; put them back before
    // reading, or our own leftovers would be captured as the user's.
    const auto recovered = recoverLeftover();
    for (const auto& line : recovered) logLine(kLog, line);
    const auto left = journal_.read();
    if (left && !writtenByUs(*left)) {
        // Still there: another Nimbra runs, or its settings could not be put back. Capturing
        // now would take its changes for the user's own.
        throw ProxyError(ProxyError::CommandFailed{recovered.empty() ? "" : recovered.back()});
    }

    ProxyJournalEntry entry{backend_->read(scope), ours_, ::getpid(),
                            process_identity::startToken(::getpid())};
    try {
        journal_.write(entry);
    } catch (const std::exception& e) {
        // Without the journal a crash could strand the desktop on our port: change nothing.
        throw ProxyError(
            ProxyError::CommandFailed{std::string("cannot save the proxy snapshot: ") + e.what()});
    }
    prior_ = std::move(entry.prior);
}

void SystemProxy::restore() {
    std::lock_guard change(changeLock_);
    restoreLocked();
}

void SystemProxy::restoreLocked() {
    std::optional<ProxySettings> prior;
    {
        std::lock_guard lock(priorLock_);
        prior = std::exchange(prior_, std::nullopt);
    }
    // Nothing captured by this process: what points at our endpoints may be the user's own.
    if (!prior) return;
    try {
        backendFor(*prior)->restore(*prior);
    } catch (...) {
        // Keep it: the next restore, or the next start through the journal, tries again.
        std::lock_guard lock(priorLock_);
        if (!prior_) prior_ = std::move(prior);
        throw;
    }
    journal_.remove();
}

bool SystemProxy::restoreWithin(std::chrono::milliseconds budget) {
    const auto end = std::chrono::steady_clock::now() + budget;
    std::unique_lock change(changeLock_, end);
    if (!change.owns_lock()) {
        logLine(kLog,
                "restore at quit skipped: a settings write is still under way; the journal "
                "stays for the next start");
        return false;
    }
    settings_tool::Deadline deadline(end);
    try {
        restoreLocked();
        return true;
    } catch (const std::exception& e) {
        logLine(kLog, std::string("restore at quit failed: ") + e.what() +
                          "; the journal stays for the next start");
        return false;
    }
}

std::vector<std::string> SystemProxy::describeCurrent() {
    try {
        return backend_->describe(backend_->read(backend_->chooseScope()));
    } catch (const std::exception& e) {
        return {e.what()};
    }
}

std::vector<std::string> SystemProxy::recoverLeftover() {
    const auto entry = journal_.read();
    if (!entry || writtenByUs(*entry)) return {};
    const std::string owner = "Nimbra (" + pidText(entry->pid) + ")";
    if (process_identity::isRunning(entry->pid, entry->processStart)) {
        return {"the proxy settings are managed by a running " + owner + "; left alone"};
    }
    auto backend = backendFor(entry->prior);
    if (!backend->pointsAt(backend->read(entry->prior.scope), entry->endpoints)) {
        journal_.remove();
        return {"the proxy settings were changed after " + owner +
                " stopped; left them as they are and discarded its snapshot"};
    }
    try {
        backend->restore(entry->prior);
    } catch (const std::exception& e) {
        return {"could not restore the proxy settings " + owner + " changed: " + e.what() +
                "; will try again at the next start"};
    }
    journal_.remove();
    return {"restored the proxy settings " + owner + " had changed before it stopped"};
}

void SystemProxy::recoverAtStartup(const LocalEndpoints& ours) {
    try {
        for (const auto& line : forThisDesktop(ours)->recoverLeftover()) logLine(kLog, line);
    } catch (const std::exception& e) {
        logLine(kLog, std::string("could not look for left-over proxy settings: ") + e.what());
    }
}

SystemProxy::Repair SystemProxy::repair() {
    Repair result;
    result.lines = recoverLeftover();
    try {
        const std::string scope = backend_->chooseScope();
        const ProxySettings current = backend_->read(scope);
        if (backend_->pointsAt(current, ours_)) {
            backend_->switchOffOurs(current, ours_);
            result.lines.push_back("switched off " + backend_->name() +
                                   " proxy settings that pointed at Nimbra's proxies");
        }
        result.clean = !backend_->pointsAt(backend_->read(scope), ours_);
        if (result.clean && result.lines.empty()) {
            result.lines.push_back("nothing points at Nimbra's proxies (" + backend_->name() + ")");
        } else if (!result.clean) {
            result.lines.push_back("the " + backend_->name() +
                                   " proxy settings still point at Nimbra's proxies");
        }
    } catch (const std::exception& e) {
        result.lines.push_back(e.what());
    }
    return result;
}

std::shared_ptr<ProxyBackend> SystemProxy::backendFor(const ProxySettings& settings) const {
    if (settings.backend == backend_->name()) return backend_;
    return proxyBackendNamed(settings.backend, ours_);
}

}  // namespace nimbra
