#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/connection_mode.hpp"
#include "model/daemon_dns_mode_option.hpp"
#include "model/nat64_gateway.hpp"
#include "model/split_tunnel_mode.hpp"
#include "model/warp_phase.hpp"
#include "observe/traffic_snapshot.hpp"

namespace nimbra {

// Every field the controller publishes to its views, in one value. The controller owns the live
// copy on the core thread and hands out immutable copies after each change.
// One running application's unit and whether its traffic goes through the tunnel.
struct AppTrafficNow {
    std::string desktopId;
    bool throughTunnel = true;
    bool operator==(const AppTrafficNow&) const = default;
};

struct ControllerSnapshot {
    WarpPhase phase = WarpPhase::disconnected;
    std::string detail = "Ready";
    // Whether `detail` is the start-up ready text: no attempt has run yet. Views and tools test
    // this flag, never the text, which follows the UI language.
    bool ready = true;
    // A connect attempt, or the teardown of a cancelled one, is under way: the button cancels.
    bool connecting = false;
    // The message of the last connect that failed or was refused, kept apart from `detail`
    // (which moves on); cleared when the next connect begins.
    std::string lastConnectError;
    // What the last self-heal reported when it failed or came back incomplete, so a view can
    // tell the user once per outage; cleared when a heal or a check brings the tunnel back, at
    // the next connect and at disconnect.
    std::string healFailure;
    bool http2 = false;
    NAT64Gateway nat64Gateway = NAT64Gateway::direct;
    std::map<std::string, int> exitProbes;  // gateway id -> round trip in ms
    bool exitLatencyProbing = false;
    // A live switch to another exit gateway runs (one more may be queued behind it).
    bool switchingGateway = false;
    bool chinaDirect = true;
    ConnectionMode connectionMode = ConnectionMode::socks;
    SplitTunnelMode splitTunnelMode = SplitTunnelMode::full;
    std::string exitIp = "—";
    std::string exitLoc = "—";
    std::string exitColo = "—";
    std::string exitWarp = "—";
    // Whether the exit above was measured through our own tunnel; kept with it after a disconnect.
    bool exitViaTunnel = false;
    bool exitProbing = false;
    std::string socksEndpoint;
    std::string httpEndpoint;
    std::string usquePath = "…";
    // Whether the look-up found usque (usquePath is then its path); assumed until it answers, so
    // nothing warns before it has looked.
    bool usqueFound = true;
    std::string globalCoverageNote;
    // Why the desktop's proxy settings could not be written; the coverage line says so too, in
    // its place. Empty when they were written or no write was tried.
    std::string proxyWriteFailedNote;
    std::string http2Tip;
    std::string conflictBanner;
    bool conflictBlocking = false;
    // What the running connection uses, which the settings above need not match: a mode or
    // transport chosen since applies at the next connect, and a split or gateway chosen while
    // connecting applies once the connect completes. All empty (std::nullopt, and an empty
    // tunIface) while no connection is up, an attempt still connecting included. runningSplit
    // is empty also in the modes that route no split (only system-proxy mode has the relay).
    std::optional<ConnectionMode> runningMode;
    std::optional<bool> runningHttp2;
    std::optional<SplitTunnelMode> runningSplit;
    std::optional<NAT64Gateway> runningGateway;
    std::string tunIface;  // nimbrad's TUN interface, in real TUN mode
    // Whether nimbrad answered when the controller last spoke to it (starting real TUN, reading
    // its status); unknown until it has. Never a check of its own: views must not wait on it.
    std::optional<bool> daemonReachable;
    std::string dnsModeLive;
    bool dnsRunning = false;
    std::string dnsWarning;
    std::vector<std::string> daemonExcludes;
    // nimbrad's own words on the China ranges (source, age, or why none); empty until it has
    // loaded them or while it is not asked.
    std::string chinaSource;
    // Per-app routing in real TUN mode, while connected: where each running application's
    // traffic goes now (by its desktop id, the rules' bundleId; one entry per application unit,
    // so an app running twice is listed twice), and why per-app routing does not work here or
    // what nimbrad said when it refused the last set ("" when it works or is not in use).
    std::vector<AppTrafficNow> appTraffic;
    std::string appRoutingNote;
    DaemonDNSModeOption dnsModeOption = DaemonDNSModeOption::cloudflare;
    std::string dnsProfileDraft;
    std::string dnsDeviceDraft;
    std::string dnsCustomDraft;
    // Kept current each second only while a view shows it (WarpController::watchTraffic).
    TrafficSnapshot traffic;

    bool isConnected() const {
        return phase == WarpPhase::connected || phase == WarpPhase::reconnecting;
    }
    bool operator==(const ControllerSnapshot&) const = default;
};

using SnapshotPtr = std::shared_ptr<const ControllerSnapshot>;

}  // namespace nimbra
