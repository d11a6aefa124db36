// The apps command's exchanges with nimbrad: whether it routes per app, and the new set sent at
// once after a change. The desktop client sends the same set while it is connected; a change
// made here must not wait for its next one, or a "direct" app would keep using the tunnel (and
// a "proxy" app keep bypassing it) until then.

#include "cli/live_app_routes.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>

#include "apprules/app_route_plan.hpp"
#include "daemon/daemon_client.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_socket.hpp"

namespace nimbra::cli {
namespace {

constexpr int kFailed = 1;

// Where nimbrad looks the paths up (nftables resolves them under this mount point).
constexpr const char* kCgroupRoot = "/sys/fs/cgroup";

std::string describe(const std::exception& error, const AppPreferences& preferences) {
    if (const auto* daemonError = dynamic_cast<const DaemonError*>(&error)) {
        return daemonError->description(preferences.uiLanguage());
    }
    return error.what();
}

}  // namespace

std::optional<DaemonAppRouting> askDaemonAppRouting() {
    try {
        const auto reply = DaemonClient::call("status", {}, daemonSocketPath());
        const auto status = reply.status.value_or(DaemonClient::Status{});
        return DaemonAppRouting{status.tunnelOn.value_or(false), status.appDefault.value_or(""),
                                status.appErr.value_or("")};
    } catch (const std::exception&) {
        return std::nullopt;  // not installed, not running, or not nimbrad: nothing to follow
    }
}

std::vector<apprules::AppUnit> runningAppUnits() {
    return apprules::scanAppUnits(kCgroupRoot, ::getuid());
}

std::optional<std::string> appRoutingUnavailableHere() {
    return apprules::appRoutingUnavailableReason(kCgroupRoot, ::getuid());
}

int applyAppRoutesLive(const AppPreferences& preferences) {
    const auto routing = askDaemonAppRouting();
    // Without a per-app set in place nimbrad routes every app through the tunnel; the desktop
    // client sends the stored rules when it connects, so they apply from then on.
    if (!routing || !routing->tunnelOn || routing->appDefault.empty()) return 0;
    const auto plan = apprules::planAppRoutes(preferences.appRules(),
                                              preferences.defaultAppFallback(), runningAppUnits());
    const auto args = apprules::appRouteArguments(plan);
    try {
        const auto reply = DaemonClient::call("app_routes", {args[0], args[1]}, daemonSocketPath());
        if (!reply.ok) {
            std::fprintf(stderr, "nimbrad refused the per-app routes: %s\n",
                         reply.msg.value_or("app_routes failed").c_str());
            return kFailed;
        }
        std::printf("applied now: nimbrad routes %zu running app(s) apart from the default (%s)\n",
                    plan.entries.size(), args[0].c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stored, but not applied now: %s\n",
                     describe(error, preferences).c_str());
        return kFailed;
    }
}

}  // namespace nimbra::cli
