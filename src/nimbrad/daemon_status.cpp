#include "nimbrad/daemon_status.hpp"

#include "nimbrad/control_request.hpp"

namespace nimbra::nimbrad {
namespace {

class ObjectWriter {
public:
    void add(std::string_view key, std::string_view value) { field(key) += jsonString(value); }
    void add(std::string_view key, bool value) { field(key) += value ? "true" : "false"; }
    void add(std::string_view key, std::int64_t value) { field(key) += std::to_string(value); }
    void add(std::string_view key, std::uint64_t value) { field(key) += std::to_string(value); }
    void add(std::string_view key, const std::vector<std::string>& values) {
        std::string& out = field(key);
        out += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i) out += ',';
            out += jsonString(values[i]);
        }
        out += ']';
    }
    std::string close() { return (text_.empty() ? "{" : text_) + "}"; }

private:
    std::string& field(std::string_view key) {
        text_ += text_.empty() ? "{" : ",";
        text_ += jsonString(key);
        text_ += ':';
        return text_;
    }
    std::string text_;
};

}  // namespace

std::string statusReplyJson(const DaemonStatus& s) {
    ObjectWriter status;
    status.add("ok", s.ready);
    status.add("tunnel_on", s.tunnelOn);
    status.add("connected", s.connected);
    status.add("tun_iface", s.tunIface);
    status.add("tun_err", s.tunErr);
    status.add("dns_mode", s.dnsMode);
    status.add("dns_upstream", s.dnsUpstream);
    status.add("dns_running", s.dnsRunning);
    status.add("dns_err", s.dnsErr);
    status.add("listen", s.listen);
    status.add("excludes", s.excludes);
    status.add("uptime_sec", s.uptimeSec);
    status.add("route_gen", s.routeGen);
    status.add("version", s.version);
    status.add("dns_system", s.dnsSystem);
    status.add("china_direct", s.chinaDirect);
    status.add("china_source", s.chinaSource);
    status.add("usque_restarts", static_cast<std::uint64_t>(s.usqueRestarts));
    return "{\"ok\":true,\"status\":" + status.close() + "}";
}

}  // namespace nimbra::nimbrad
