#include "nimbrad/daemon_status.hpp"

#include <nlohmann/json.hpp>

namespace nimbra::nimbrad {

namespace {

std::string replyWith(const nlohmann::ordered_json& status) {
    const nlohmann::ordered_json reply = {{"ok", true}, {"status", status}};
    // Texts may echo what a client or a file held: bytes that are not UTF-8 become U+FFFD, so the
    // reply always decodes.
    return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::ordered_json appRoutesJson(const std::vector<AppRoute>& routes) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& route : routes) {
        list.push_back({{"path", route.path},
                        {"target", route.target == AppRouteTarget::proxy ? "proxy" : "direct"}});
    }
    return list;
}

}  // namespace

std::string statusReplyJson(const DaemonStatus& s) {
    const nlohmann::ordered_json status = {
        {"ok", s.ready},
        {"tunnel_on", s.tunnelOn},
        {"connected", s.connected},
        {"tun_iface", s.tunIface},
        {"tun_err", s.tunErr},
        {"dns_mode", s.dnsMode},
        {"dns_upstream", s.dnsUpstream},
        {"dns_running", s.dnsRunning},
        {"dns_err", s.dnsErr},
        {"listen", s.listen},
        {"excludes", s.excludes},
        {"uptime_sec", s.uptimeSec},
        {"route_gen", s.routeGen},
        {"version", s.version},
        {"dns_system", s.dnsSystem},
        {"china_direct", s.chinaDirect},
        {"china_source", s.chinaSource},
        {"usque_restarts", s.usqueRestarts},
        {"app_default", s.appDefault},
        {"app_routes", appRoutesJson(s.appRoutes)},
        {"app_err", s.appErr},
    };
    return replyWith(status);
}

std::string strangerStatusReplyJson(const DaemonStatus& s) {
    return replyWith({
        {"ok", s.ready},
        {"tunnel_on", s.tunnelOn},
        {"connected", s.connected},
        {"dns_running", s.dnsRunning},
    });
}

}  // namespace nimbra::nimbrad
