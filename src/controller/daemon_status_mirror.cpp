#include "controller/daemon_status_mirror.hpp"

#include "base/text.hpp"

namespace nimbra {
namespace {

template <typename T>
bool assign(T& field, T value) {
    if (field == value) return false;
    field = std::move(value);
    return true;
}

bool isAboutDns(const std::string& warning) {
    for (const char* word : {"nextdns", "dns", "dnsproxy"}) {
        if (text::containsCaseInsensitive(warning, word)) return true;
    }
    return false;
}

}  // namespace

bool mirrorDaemonStatus(ControllerSnapshot& s, const DaemonClient::Status& status) {
    bool changed = false;
    changed |= assign(s.tunIface, status.tunIface.value_or(""));
    changed |= assign(s.dnsModeLive, status.dnsMode.value_or(""));
    changed |= assign(s.dnsRunning, status.dnsRunning == true);
    changed |= assign(s.daemonExcludes, status.excludes.value_or(std::vector<std::string>{}));
    changed |= assign(s.chinaSource, status.chinaSource.value_or(""));
    if (status.dnsErr && !status.dnsErr->empty()) {
        return assign(s.dnsWarning, *status.dnsErr) || changed;
    }
    const bool dnsSettled =
        status.dnsRunning == true || status.dnsMode == "off" || status.dnsMode == "default";
    if (dnsSettled && !s.dnsWarning.empty() && isAboutDns(s.dnsWarning)) {
        changed |= assign(s.dnsWarning, std::string());
    }
    return changed;
}

}  // namespace nimbra
