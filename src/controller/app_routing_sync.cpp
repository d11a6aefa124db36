#include "controller/app_routing_sync.hpp"

#include <asio/post.hpp>

#include "apprules/app_route_plan.hpp"
#include "apprules/app_unit_scan.hpp"

namespace nimbra {

AppRoutingSync::AppRoutingSync(CoreRuntime& runtime, std::shared_ptr<DaemonService> daemon,
                               AppPreferences preferences, Places places,
                               std::chrono::milliseconds coalesce, Publish publish)
    : runtime_(runtime),
      daemon_(std::move(daemon)),
      preferences_(std::move(preferences)),
      places_(std::move(places)),
      publish_(std::move(publish)),
      watcher_(runtime.executor(), places_.cgroupRoot / apprules::userAppSlicePath(places_.uid),
               coalesce, [this] { request(); }) {}

AppRoutingSync::~AppRoutingSync() {
    *alive_ = false;
}

void AppRoutingSync::start() {
    running_ = true;
    ++generation_;
    // A desktop without units of its own per app has nothing to watch; the exchange still
    // tells nimbrad the default and publishes why per-app routing cannot work.
    watcher_.start();
    request();
}

void AppRoutingSync::stop() {
    if (!running_) return;
    running_ = false;
    ++generation_;
    again_ = false;
    watcher_.stop();
    publish_({}, {});
}

void AppRoutingSync::rulesChanged() {
    if (running_) request();
}

void AppRoutingSync::request() {
    if (!running_) return;
    if (busy_) {
        again_ = true;
        return;
    }
    busy_ = true;
    // The job holds its own copies: it may outlive this object.
    asio::post(runtime_.blockingPool(),
               [this, alive = alive_, generation = generation_, daemon = daemon_,
                preferences = preferences_, places = places_] {
                   Outcome outcome = exchange(*daemon, preferences, places);
                   runtime_.post([this, alive, generation, outcome = std::move(outcome)]() mutable {
                       if (*alive) finished(generation, std::move(outcome));
                   });
               });
}

void AppRoutingSync::finished(std::uint64_t generation, Outcome outcome) {
    busy_ = false;
    if (generation != generation_) {
        // Stopped (and maybe started again) meanwhile: this answer is for a connection that
        // has gone; a new one asks afresh.
        if (running_) request();
        return;
    }
    publish_(std::move(outcome.traffic), std::move(outcome.note));
    if (again_) {
        again_ = false;
        request();
    }
}

// On the pool: scan, plan, send.
AppRoutingSync::Outcome AppRoutingSync::exchange(const DaemonService& daemon,
                                                 const AppPreferences& preferences,
                                                 const Places& places) {
    Outcome outcome;
    // Where applications cannot be told apart, none is routed by its rule: the tunnel carries
    // the whole machine, as it did before per-app routing, rather than the default for unlisted
    // apps sending everything around it.
    if (auto reason = apprules::appRoutingUnavailableReason(places.cgroupRoot, places.uid)) {
        outcome.note = *reason;
        try {
            daemon.command("app_routes", {"off"}, "per-app routing refused");
        } catch (const std::exception&) {
            // Nothing to turn off that the tunnel's own stop will not.
        }
        return outcome;
    }
    // The rules may have been changed by nimbra-cli since this process read them.
    preferences.store().reload();
    const auto rules = preferences.appRules();
    const AppRuleTarget fallback = preferences.defaultAppFallback();
    const auto units = apprules::scanAppUnits(places.cgroupRoot, places.uid);
    const auto plan = apprules::planAppRoutes(rules, fallback, units);
    const auto arguments = apprules::appRouteArguments(plan);
    try {
        daemon.command("app_routes", {arguments[0], arguments[1]}, "per-app routing refused");
    } catch (const std::exception& failure) {
        // nimbrad keeps what it had (the whole tunnel, or the set before): say why.
        outcome.note = failure.what();
        return outcome;
    }
    for (const auto& unit : apprules::trafficOfUnits(rules, fallback, units)) {
        outcome.traffic.push_back(
            {unit.unit.desktopId, unit.way == apprules::AppTrafficWay::tunnel});
    }
    return outcome;
}

}  // namespace nimbra
