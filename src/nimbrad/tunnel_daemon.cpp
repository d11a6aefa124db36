#include "nimbrad/tunnel_daemon.hpp"

#include <algorithm>
#include <asio/post.hpp>

#include "base/atomic_file.hpp"
#include "base/version.hpp"
#include "nimbrad/app_route_arguments.hpp"
#include "nimbrad/argument_checks.hpp"
#include "nimbrad/china_ranges.hpp"
#include "nimbrad/daemon_log.hpp"
#include "nimbrad/dns_choice.hpp"
#include "nimbrad/registration_endpoints.hpp"
#include "nimbrad/trusted_program.hpp"
#include "nimbrad/user_file.hpp"
#include "nimbrad/user_file_error.hpp"

namespace nimbra::nimbrad {
namespace {

// Domains resolve to addresses that change; excluded ones are looked up again this often.
constexpr std::chrono::minutes kDomainRefresh{5};

}  // namespace

TunnelDaemon::TunnelDaemon(Strand strand, DaemonSettings settings)
    : strand_(std::move(strand)),
      settings_(std::move(settings)),
      appSplit_(settings_.tunnelDevice, statePath("apps")),
      domainTimer_(strand_) {
    reloadConfig();
}

TunnelDaemon::~TunnelDaemon() {
    lookups_.join();
}

std::filesystem::path TunnelDaemon::statePath(const char* name) const {
    return settings_.stateDirectory / name;
}

void TunnelDaemon::recoverLeftovers() {
    std::filesystem::create_directories(settings_.stateDirectory);
    // usque first: while it runs, its interface (and what routes through it) stays up.
    if (TunnelSupervisor::endLeftover(statePath("usque.pid")))
        daemonLog("ended the usque an earlier run left running");
    try {
        if (const auto undone = PolicyRouting::recoverFromJournal(statePath("routes")))
            daemonLog("took back " + std::to_string(undone) +
                      " routes and rules left by an earlier run");
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not take back earlier routes: ") + failure.what());
    }
    try {
        if (AppSplit::recoverFromJournal(statePath("apps")))
            daemonLog("took back the per-app routing table left by an earlier run");
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not take back the earlier per-app table: ") + failure.what());
    }
    try {
        if (SystemResolver::recoverFromJournal(statePath("resolver"), settings_.resolvConf))
            daemonLog("put back the system DNS settings of an earlier run");
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not put back earlier DNS settings: ") + failure.what());
    }
}

void TunnelDaemon::reloadConfig() {
    std::optional<std::string> text;
    try {
        text = UserFile(settings_.configFile, settings_.allowedUids).read();
        if (!text) daemonLog("no config at " + settings_.configFile.string() + "; using defaults");
    } catch (const UserFileError& failure) {
        daemonLog(std::string("config not read: ") + failure.what() + "; using defaults");
    }
    if (!text) {
        config_ = {};
    } else {
        auto parsed = parseDaemonConfig(*text);
        for (const auto& warning : parsed.warnings) daemonLog(warning);
        config_ = std::move(parsed.config);
    }
    // Exclusions made through the socket are already in the file (saveExcludes); the file is
    // the one list, so what survives a restart is exactly what the status showed.
    ExclusionSet fresh(config_.excludes);
    fresh.keepResolvedFrom(exclusions_);
    exclusions_ = std::move(fresh);
}

std::string TunnelDaemon::handle(const Request& request) {
    const std::string& cmd = request.cmd;
    const std::string arg = request.args.empty() ? std::string() : request.args[0];
    try {
        if (cmd == "ping") return replyJson(true, "pong");
        if (cmd == "status") return status(request.fromTrustedPeer);
        if (cmd == "start") return start();
        if (cmd == "stop") return stop();
        if (cmd == "restart") return restart();
        if (cmd == "dns") return dns(request);
        if (cmd == "exclude") return exclude(arg);
        if (cmd == "include") return include(arg);
        if (cmd == "nat64") return nat64(arg);
        if (cmd == "chinadirect") return chinaDirect(arg == "on");
        if (cmd == "app_routes") return appRoutes(request);
        return replyJson(false, "unknown command");
    } catch (const std::exception& failure) {
        daemonLog(cmd + " failed: " + failure.what());
        return replyJson(false, cmd + " failed: " + failure.what());
    }
}

std::string TunnelDaemon::start() {
    if (tunnelOn_) return replyJson(true, "already running");
    reloadConfig();
    tunErr_.clear();
    if (auto why = refuseUntrustedProgram(settings_.usqueProgram)) {
        tunErr_ = "refusing to run usque: " + *why;
        daemonLog(tunErr_);
        return replyJson(false, tunErr_);
    }
    std::optional<std::string> registration;
    try {
        registration = UserFile(settings_.registrationFile, settings_.allowedUids).read();
    } catch (const UserFileError& failure) {
        tunErr_ = std::string("registration not read: ") + failure.what();
    }
    endpoints_ = registration ? registrationEndpoints(*registration, config_.nat64Prefix)
                              : std::vector<std::string>{};
    if (endpoints_.empty()) {
        if (tunErr_.empty())
            tunErr_ = "no usable registration at " + settings_.registrationFile.string() +
                      " — register with WARP first";
        daemonLog(tunErr_);
        return replyJson(false, tunErr_);
    }

    // usque runs as root: it gets a copy that root owns (mode 0600, it holds the private key),
    // never the user's own file, which a link could point anywhere.
    const auto registrationCopy = statePath("registration.json");
    writeFileAtomically(registrationCopy, *registration);

    TunnelSupervisor::Options options;
    options.argv = {
        settings_.usqueProgram.string(), "nativetun", "-c", registrationCopy.string(), "-n",
        settings_.tunnelDevice,          "-k",        "15s"};
    if (config_.http2) options.argv.push_back("--http2");
    options.pidFile = statePath("usque.pid");
    supervisor_ = std::make_unique<TunnelSupervisor>(
        strand_, std::move(options),
        TunnelSupervisor::Events{[this] { onConnected(); },
                                 [this](const std::string& why) { onDisconnected(why); }});
    supervisor_->start();
    tunnelOn_ = true;
    startDns();
    scheduleDomainRefresh();
    daemonLog(std::string("tunnel starting") + (config_.http2 ? " (HTTP/2)" : ""));
    return replyJson(true);
}

std::string TunnelDaemon::stop() {
    const bool wasOn = tunnelOn_;
    tunnelOn_ = false;
    domainTimer_.cancel();
    // Every step runs whatever the one before it did: a stop must never leave usque running.
    restoreSystemResolver();
    try {
        removeRouting();
    } catch (const std::exception& failure) {
        // The journal keeps what is left; the next start takes it back.
        daemonLog(std::string("could not remove the routes: ") + failure.what());
        routing_.reset();
    }
    try {
        appSplit_.stop();
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not remove the per-app table: ") + failure.what());
    }
    if (supervisor_) supervisor_->stop();
    supervisor_.reset();
    stopDns();
    tunErr_.clear();
    if (wasOn) daemonLog("tunnel stopped");
    return replyJson(true);
}

std::string TunnelDaemon::restart() {
    // A restart (the client healing its connection) goes on with the same session: the per-app
    // set it sent still holds, and applies again once routing is back.
    auto kept = appSplit_.requested();
    stop();
    std::string reply = start();
    if (tunnelOn_) appSplit_.request(std::move(kept), nullptr);
    return reply;
}

void TunnelDaemon::shutdown() {
    stop();
}

void TunnelDaemon::onConnected() {
    if (!tunnelOn_) return;
    try {
        installRouting();
        pointSystemResolver();
        tunErr_.clear();
        daemonLog("tunnel up: routes via " + settings_.tunnelDevice);
    } catch (const std::exception& failure) {
        // A tunnel that cannot be routed carries nothing; say why and take it down, so the
        // client's wait ends with the reason instead of a time-out.
        // Posted: this runs inside the supervisor, which stop() destroys.
        const std::string reason = std::string("routing failed: ") + failure.what();
        daemonLog(reason);
        asio::post(strand_, [this, reason] {
            stop();
            tunErr_ = reason;
        });
    }
}

void TunnelDaemon::onDisconnected(const std::string& reason) {
    if (!tunnelOn_) return;
    tunErr_ = reason;
}

void TunnelDaemon::installRouting() {
    // usque came back after a restart: only the routes through its interface went with the old
    // one; the rules (and the block that held traffic meanwhile) are still in place.
    if (routing_ && routing_->installed()) {
        routing_->reattachTunnel();
        ++routeGen_;
        return;
    }
    RoutingPlan plan;
    plan.tunnelDevice = settings_.tunnelDevice;
    plan.endpoints = endpoints_;  // as usque was started with them
    plan.bypass = standardBypassCidrs();
    routedExclusions_ = exclusions_.networks();
    for (const auto& network : routedExclusions_) plan.bypass.push_back(network.text());
    try {
        appSplit_.beforeRoutingInstalled();
    } catch (const std::exception& failure) {
        daemonLog(std::string("per-app routing not applied: ") + failure.what());
    }
    plan.appDefault = appSplit_.routingDefault();
    routing_.emplace(std::move(plan), statePath("routes"));
    routing_->install();
    ++routeGen_;
    if (config_.chinaDirect) applyChinaDirect();
}

void TunnelDaemon::removeRouting() {
    if (!routing_) return;
    routing_->remove();
    routing_.reset();
    routedExclusions_.clear();
    ++routeGen_;
}

// Routes the difference between what is excluded now and what was routed.
void TunnelDaemon::applyExclusions() {
    if (!routing_ || !routing_->installed()) return;
    const auto wanted = exclusions_.networks();
    bool changed = false;
    for (const auto& network : routedExclusions_)
        if (std::find(wanted.begin(), wanted.end(), network) == wanted.end()) {
            routing_->removeBypass(network);
            changed = true;
        }
    for (const auto& network : wanted)
        if (std::find(routedExclusions_.begin(), routedExclusions_.end(), network) ==
            routedExclusions_.end()) {
            routing_->addBypass(network);
            changed = true;
        }
    routedExclusions_ = wanted;
    if (changed) ++routeGen_;
}

void TunnelDaemon::startDns() {
    dnsErr_.clear();
    const auto upstreamText =
        dnsUpstreamFor(config_.dnsMode, config_.dnsCustom, config_.dnsProfile, config_.dnsDevice);
    if (!upstreamText) {
        stopDns();
        dnsUpstream_.clear();
        return;
    }
    auto upstream = DnsUpstream::parse(*upstreamText);
    // A DNS-over-HTTPS host is looked up here, once, while the system still resolves the way it
    // did before the switch: the forwarder must never have to resolve its own upstream.
    if (upstream && upstream->isDoh()) upstream = resolveDohHost(*upstream);
    const auto listen = DnsUpstream::parse(settings_.listen);
    if (!upstream || !listen) {
        dnsErr_ = !upstream ? "cannot use DNS upstream " + *upstreamText +
                                  " (a DNS-over-HTTPS "
                                  "host that does not resolve?)"
                            : "cannot listen on " + settings_.listen;
        daemonLog(dnsErr_);
        return;
    }
    dnsUpstream_ = *upstreamText;
    if (forwarder_ && forwarder_->running()) {
        forwarder_->setUpstream(*upstream);
        daemonLog("DNS now goes to " + dnsUpstream_);
        return;
    }
    DnsForwarder::Options options;
    options.listenAddress = listen->address;
    options.listenPort = listen->port;
    options.upstream = *upstream;
    forwarder_ = std::make_unique<DnsForwarder>(options);
    try {
        forwarder_->start();
        daemonLog("DNS forwarder on " + settings_.listen + " -> " + dnsUpstream_);
    } catch (const std::exception& failure) {
        dnsErr_ = "DNS forwarder cannot listen on " + settings_.listen + ": " + failure.what();
        daemonLog(dnsErr_);
        forwarder_.reset();
    }
}

void TunnelDaemon::stopDns() {
    if (forwarder_) forwarder_->stop();
    forwarder_.reset();
}

// DNS trouble does not take the tunnel down: names may fail, but everything else still goes
// through it, and the status says why.
void TunnelDaemon::pointSystemResolver() {
    if (!forwarder_ || !forwarder_->running()) return;
    try {
        if (!resolver_)
            resolver_.emplace(SystemResolver::Options{.resolvConf = settings_.resolvConf,
                                                      .journal = statePath("resolver")});
        resolver_->pointAt(settings_.tunnelDevice, settings_.listen);
        dnsSystem_ = resolver_->viaResolved() ? "systemd-resolved: DNS of " + settings_.tunnelDevice
                                              : settings_.resolvConf.string();
        daemonLog("system DNS points at the forwarder (" + dnsSystem_ + ")");
    } catch (const std::exception& failure) {
        dnsErr_ = std::string("system DNS not pointed at the forwarder: ") + failure.what();
        daemonLog(dnsErr_);
    }
}

void TunnelDaemon::restoreSystemResolver() {
    if (!resolver_) return;
    try {
        resolver_->restore();
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not put the system DNS back: ") + failure.what());
    }
    resolver_.reset();
    dnsSystem_.clear();
}

std::string TunnelDaemon::dns(const Request& request) {
    config_.dnsMode = request.args.at(0);
    const std::string value = request.args.size() > 1 ? request.args[1] : std::string();
    if (config_.dnsMode == "nextdns") config_.dnsProfile = value;
    if (config_.dnsMode == "custom") config_.dnsCustom = value;
    if (!tunnelOn_) return replyJson(true, "applies when the tunnel starts");
    if (config_.dnsMode == "off") {
        restoreSystemResolver();
        stopDns();
        dnsUpstream_.clear();
        return replyJson(true);
    }
    startDns();
    if (!dnsErr_.empty()) return replyJson(false, dnsErr_);
    if (supervisor_ && supervisor_->connected()) pointSystemResolver();
    return replyJson(true);
}

std::string TunnelDaemon::exclude(const std::string& target) {
    if (!exclusions_.add(target)) return replyJson(true, "already excluded");
    saveExcludes();
    // A domain is looked up here, on the strand: the reply then means "routed", which is what
    // the client shows. The lookup goes through our own forwarder, which has a thread of its own.
    if (!isIpAddress(target) && !isCidr(target))
        exclusions_.setResolved(target, resolveDomain(target));
    applyExclusions();
    daemonLog("excluded " + target);
    return replyJson(true);
}

std::string TunnelDaemon::include(const std::string& target) {
    if (!exclusions_.remove(target)) return replyJson(true, "was not excluded");
    saveExcludes();
    applyExclusions();
    daemonLog("no longer excluded: " + target);
    return replyJson(true);
}

void TunnelDaemon::saveExcludes() {
    config_.excludes = exclusions_.targets();
    try {
        // Read and rewritten through one UserFile, so through the one folder it checked: a
        // folder swapped in between cannot lend the rewrite another file's contents. A file
        // that exists but cannot be read is left alone rather than replaced by the list alone.
        const UserFile file(settings_.configFile, settings_.allowedUids);
        file.replace(withExcludes(file.read().value_or(""), config_.excludes));
    } catch (const std::exception& failure) {
        daemonLog(std::string("could not save the exclusions: ") + failure.what());
    }
}

std::string TunnelDaemon::nat64(const std::string& prefix) {
    config_.nat64Prefix = prefix == "none" ? std::string() : prefix;
    daemonLog("exit gateway: " + (prefix == "none" ? std::string("direct") : prefix) +
              " (from the next restart)");
    return replyJson(true, "takes effect at the next restart");
}

std::string TunnelDaemon::chinaDirect(bool on) {
    config_.chinaDirect = on;
    if (on && !loadChinaRangesOnce()) {
        config_.chinaDirect = false;
        return replyJson(false, chinaSource_);
    }
    applyChinaDirect();
    daemonLog(std::string("China-direct ") + (on ? "on: " + chinaSource_ : "off"));
    return replyJson(true);
}

std::string TunnelDaemon::appRoutes(const Request& request) {
    std::optional<AppRouteSet> set;
    if (!isAppRoutesOff(request.args)) set = readAppRoutes(request.args);
    const bool routed = routing_ && routing_->installed();
    const std::string what =
        !set ? std::string("off")
             : std::to_string(set->routes.size()) + " apps, the rest " +
                   (set->defaultTarget == AppRouteTarget::proxy ? "through the tunnel" : "direct");
    appSplit_.request(std::move(set), routed ? &*routing_ : nullptr);
    if (!routed) return replyJson(true, "applies once the tunnel is up");
    ++routeGen_;
    daemonLog("per-app routing: " + what);
    return replyJson(true);
}

// The country database is read once, at first use: it changes only with its Debian package.
bool TunnelDaemon::loadChinaRangesOnce() {
    if (chinaRanges_) return true;
    try {
        auto loaded = loadChinaRanges();
        chinaSource_ = loaded.source;
        chinaRanges_ = std::move(loaded.networks);
        return true;
    } catch (const std::exception& failure) {
        chinaSource_ = std::string("China-direct unavailable: ") + failure.what();
        daemonLog(chinaSource_);
        return false;
    }
}

void TunnelDaemon::applyChinaDirect() {
    if (!routing_ || !routing_->installed()) return;
    const bool on = config_.chinaDirect && loadChinaRangesOnce();
    routing_->setDirectRanges(on ? *chinaRanges_ : std::vector<Cidr>{});
    ++routeGen_;
}

void TunnelDaemon::scheduleDomainRefresh() {
    domainTimer_.expires_after(kDomainRefresh);
    domainTimer_.async_wait([this](const asio::error_code& error) {
        if (error || !tunnelOn_) return;
        refreshDomains();
        scheduleDomainRefresh();
    });
}

// Lookups block, so they run on their own thread; the answers come back to the strand.
void TunnelDaemon::refreshDomains() {
    const auto domains = exclusions_.domains();
    if (domains.empty()) return;
    asio::post(lookups_, [this, domains] {
        std::vector<std::pair<std::string, std::vector<Cidr>>> answers;
        for (const auto& domain : domains) answers.emplace_back(domain, resolveDomain(domain));
        asio::post(strand_, [this, answers = std::move(answers)] {
            for (const auto& [domain, addresses] : answers)
                if (!addresses.empty()) exclusions_.setResolved(domain, addresses);
            try {
                applyExclusions();
            } catch (const std::exception& failure) {
                daemonLog(std::string("could not route refreshed exclusions: ") + failure.what());
            }
        });
    });
}

std::string TunnelDaemon::status(bool toTrustedPeer) const {
    DaemonStatus s;
    const bool connected = supervisor_ && supervisor_->connected();
    s.tunnelOn = tunnelOn_;
    s.connected = connected;
    s.ready = tunnelOn_ && connected && routing_ && routing_->installed() && tunErr_.empty();
    s.tunIface = tunnelOn_ ? settings_.tunnelDevice : "";
    s.tunErr = tunErr_;
    s.dnsMode = config_.dnsMode;
    s.dnsUpstream = dnsUpstream_;
    s.dnsRunning = forwarder_ && forwarder_->running();
    s.dnsErr = dnsErr_;
    s.listen = settings_.listen;
    s.excludes = exclusions_.targets();
    s.uptimeSec = std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::steady_clock::now() - startedAt_)
                      .count();
    s.routeGen = routeGen_;
    s.version = kVersion;
    s.dnsSystem = dnsSystem_;
    s.chinaDirect = config_.chinaDirect;
    s.chinaSource = chinaSource_;
    s.usqueRestarts = supervisor_ ? supervisor_->restarts() : 0;
    if (const auto appDefault = appSplit_.routingDefault()) {
        s.appDefault = *appDefault == AppRouteTarget::proxy ? "proxy" : "direct";
    }
    s.appRoutes = appSplit_.applied();
    s.appErr = appSplit_.error();
    return toTrustedPeer ? statusReplyJson(s) : strangerStatusReplyJson(s);
}

}  // namespace nimbra::nimbrad
