#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "nimbrad/app_split.hpp"
#include "nimbrad/control_request.hpp"
#include "nimbrad/daemon_config.hpp"
#include "nimbrad/daemon_settings.hpp"
#include "nimbrad/daemon_status.hpp"
#include "nimbrad/dns_forwarder.hpp"
#include "nimbrad/exclusion_set.hpp"
#include "nimbrad/policy_routing.hpp"
#include "nimbrad/system_resolver.hpp"
#include "nimbrad/tunnel_supervisor.hpp"

namespace nimbra::nimbrad {

// The daemon's one state machine: the tunnel (usque), whole-machine routing, the DNS forwarder
// and the system resolver pointed at it, the user's exclusions and per-app routing. Commands and
// tunnel events all run on one strand, so a "start" never interleaves with a "stop" or with usque's
// own news.
//
// The order of things while the tunnel is on:
//   start      -> config re-read, usque started, forwarder listening; answers at once
//   connected  -> routes installed, the system resolver pointed at the forwarder: ready
//   usque ends -> not connected; it is started again, and routing follows its new interface
//   stop       -> resolver restored, routes removed, usque ended, forwarder stopped
// Every change to the machine is journalled in the state folder first, so recoverLeftovers()
// at the next start takes back what a killed daemon left behind.
class TunnelDaemon {
public:
    using Strand = asio::strand<asio::io_context::executor_type>;

    TunnelDaemon(Strand strand, DaemonSettings settings);
    ~TunnelDaemon();
    TunnelDaemon(const TunnelDaemon&) = delete;
    TunnelDaemon& operator=(const TunnelDaemon&) = delete;

    // Before the socket opens: undoes what an earlier run left (routes, resolver settings).
    void recoverLeftovers();
    // One command; returns the reply line without its line feed. On the strand.
    std::string handle(const Request& request);
    // SIGTERM: the tunnel goes down and the machine is as before. On the strand.
    void shutdown();

private:
    std::string start();
    std::string stop();
    std::string restart();
    // Everything for root and the allowed users; whether the tunnel works for anyone else.
    std::string status(bool toTrustedPeer) const;
    std::string dns(const Request& request);
    std::string exclude(const std::string& target);
    std::string include(const std::string& target);
    std::string nat64(const std::string& prefix);
    std::string chinaDirect(bool on);
    std::string appRoutes(const Request& request);

    void reloadConfig();
    void onConnected();
    void onDisconnected(const std::string& reason);
    void installRouting();
    void removeRouting();
    void applyExclusions();
    bool loadChinaRangesOnce();
    void applyChinaDirect();
    void startDns();
    void stopDns();
    void pointSystemResolver();
    void restoreSystemResolver();
    void refreshDomains();
    void scheduleDomainRefresh();
    void saveExcludes();
    std::filesystem::path statePath(const char* name) const;

    Strand strand_;
    DaemonSettings settings_;
    DaemonConfig config_;
    ExclusionSet exclusions_;
    // The MASQUE server addresses of the running usque's registration: never into the tunnel.
    std::vector<std::string> endpoints_;
    const std::chrono::steady_clock::time_point startedAt_ = std::chrono::steady_clock::now();

    std::unique_ptr<TunnelSupervisor> supervisor_;
    std::optional<PolicyRouting> routing_;
    std::vector<Cidr> routedExclusions_;
    std::unique_ptr<DnsForwarder> forwarder_;
    std::optional<SystemResolver> resolver_;
    std::optional<std::vector<Cidr>> chinaRanges_;
    std::string chinaSource_;
    std::string dnsSystem_;

    bool tunnelOn_ = false;
    std::string tunErr_;
    std::string dnsErr_;
    std::string dnsUpstream_;
    std::uint64_t routeGen_ = 0;

    AppSplit appSplit_;
    asio::steady_timer domainTimer_;
    asio::thread_pool lookups_{1};
};

}  // namespace nimbra::nimbrad
