#include "proxy/system_proxy/networksetup_backend.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "base/text.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "proxy/system_proxy/settings_tool.hpp"

namespace nimbra {
namespace {

// The three manual proxies share one shape: a server (host and port) and an on/off state.
struct ProxyKind {
    std::string_view key;  // prefix of its values: "<key>.enabled", "<key>.host", "<key>.port"
    std::string_view label;
    std::string_view getCmd;
    std::string_view setCmd;
    std::string_view stateCmd;
};

constexpr ProxyKind kWeb{"web", "web proxy", "-getwebproxy", "-setwebproxy", "-setwebproxystate"};
constexpr ProxyKind kSecureWeb{"secureWeb", "secure web proxy", "-getsecurewebproxy",
                               "-setsecurewebproxy", "-setsecurewebproxystate"};
constexpr ProxyKind kSocks{"socks", "SOCKS proxy", "-getsocksfirewallproxy",
                           "-setsocksfirewallproxy", "-setsocksfirewallproxystate"};
constexpr std::array<ProxyKind, 3> kKinds{kWeb, kSecureWeb, kSocks};

// A fixed order, not the tool's listing order, so the same service is chosen on every connect.
constexpr std::array<std::string_view, 4> kPreferredServices{
    "Wi-Fi", "Ethernet", "USB 10/100/1000 LAN", "Thunderbolt Bridge"};

constexpr std::string_view kOn = "on";
constexpr std::string_view kOff = "off";

std::string key(const ProxyKind& kind, std::string_view field) {
    return std::string(kind.key) + "." + std::string(field);
}

std::string onOff(bool on) {
    return std::string(on ? kOn : kOff);
}

bool isOn(const ProxySettings& settings, const std::string& name) {
    return settings.value(name) == kOn;
}

bool startsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

// "Enabled: Yes" / "Enabled: No".
bool enabledLine(std::string_view line) {
    return text::containsCaseInsensitive(line, "yes");
}

std::string afterLabel(std::string_view line, std::string_view label) {
    return std::string(text::trimSpacesAndTabs(line.substr(label.size())));
}

// The tool's answer when a service has no bypass domains is a sentence ("There aren't any bypass
// domains set on Wi-Fi."), which must not come back as a domain on restore.
bool saysNoBypassDomains(std::string_view line) {
    return text::containsCaseInsensitive(line, "no bypass") ||
           text::containsCaseInsensitive(line, "empty") ||
           text::containsCaseInsensitive(line, "any bypass domains");
}

// Whether `kind` is switched on and sends traffic to one of our proxies.
bool serverIsOurs(const ProxySettings& settings, const ProxyKind& kind,
                  const LocalEndpoints& ours) {
    return isOn(settings, key(kind, "enabled")) &&
           ours.isOurServer(settings.value(key(kind, "host")), settings.value(key(kind, "port")));
}

bool pacIsOurs(const ProxySettings& settings, const LocalEndpoints& ours) {
    return isOn(settings, "autoProxy.enabled") &&
           ours.isOurPacAddress(settings.value("autoProxy.url"));
}

std::string joinLines(const std::vector<std::string>& lines, std::string_view separator) {
    std::string joined;
    for (const auto& line : lines) {
        if (!joined.empty()) joined += separator;
        joined += line;
    }
    return joined;
}

}  // namespace

std::vector<std::string> NetworksetupProxyBackend::listServices() {
    std::vector<std::string> services;
    for (auto& line : text::splitLines(readTool({"-listallnetworkservices"}))) {
        if (startsWith(line, "An asterisk") || startsWith(line, "*")) continue;
        services.push_back(std::move(line));
    }
    return services;
}

std::string NetworksetupProxyBackend::chooseScope() {
    const auto services = listServices();
    for (const auto preferred : kPreferredServices) {
        if (std::find(services.begin(), services.end(), preferred) != services.end()) {
            return std::string(preferred);
        }
    }
    if (services.empty()) throw ProxyError(ProxyError::NoService{});
    return services.front();
}

ProxySettings NetworksetupProxyBackend::read(const std::string& scope) {
    ProxySettings settings{name(), scope, {}};
    auto& values = settings.values;

    for (const auto& kind : kKinds) {
        bool enabled = false;
        std::string host;
        std::string port;
        for (const auto& line : text::splitLines(readTool({std::string(kind.getCmd), scope}))) {
            if (startsWith(line, "Enabled:")) {
                enabled = enabledLine(line);
            } else if (startsWith(line, "Server:")) {
                host = afterLabel(line, "Server:");
            } else if (startsWith(line, "Port:")) {
                port = afterLabel(line, "Port:");
            }
        }
        values[key(kind, "enabled")] = onOff(enabled);
        values[key(kind, "host")] = host;
        values[key(kind, "port")] = port;
    }

    bool autoEnabled = false;
    std::string url;
    for (const auto& line : text::splitLines(readTool({"-getautoproxyurl", scope}))) {
        if (startsWith(line, "Enabled:")) {
            autoEnabled = enabledLine(line);
        } else if (startsWith(line, "URL:")) {
            auto found = afterLabel(line, "URL:");
            if (text::toLowerAscii(found) != "(null)") url = std::move(found);
        }
    }
    values["autoProxy.enabled"] = onOff(autoEnabled);
    values["autoProxy.url"] = url;

    const std::string discovery = readTool({"-getproxyautodiscovery", scope});
    values["autoDiscovery"] = onOff(text::containsCaseInsensitive(discovery, "on") ||
                                    text::containsCaseInsensitive(discovery, "yes"));

    std::vector<std::string> domains;
    for (const auto& line : text::splitLines(readTool({"-getproxybypassdomains", scope}))) {
        const auto trimmed = text::trim(line);
        if (!trimmed.empty()) domains.emplace_back(trimmed);
    }
    if (domains.size() == 1 && saysNoBypassDomains(domains.front())) domains.clear();
    values["bypassDomains"] = joinLines(domains, "\n");
    return settings;
}

void NetworksetupProxyBackend::applyAutoSplit(const std::string& scope, const std::string& pacUrl) {
    write({"-setautoproxyurl", scope, pacUrl});
    write({"-setautoproxystate", scope, "on"});
    // Discovery takes capitalised words, unlike the state commands.
    tryWrite({"-setproxyautodiscovery", scope, "Off"});
    for (const auto& kind : kKinds) tryWrite({std::string(kind.stateCmd), scope, "off"});
}

void NetworksetupProxyBackend::applyFull(const std::string& scope,
                                         const FullProxyRequest& request) {
    tryWrite({"-setautoproxystate", scope, "off"});
    tryWrite({"-setproxyautodiscovery", scope, "Off"});
    auto pointAt = [&](const ProxyKind& kind, int port) {
        write({std::string(kind.setCmd), scope, request.host, std::to_string(port)});
        write({std::string(kind.stateCmd), scope, "on"});
    };
    pointAt(kWeb, request.httpPort);
    pointAt(kSecureWeb, request.httpPort);
    pointAt(kSocks, request.socksPort);
    setBypassDomains(scope, request.bypassDomains);
}

void NetworksetupProxyBackend::restore(const ProxySettings& prior) {
    const std::string& service = prior.scope;
    for (const auto& kind : kKinds) {
        // The tool prints "Port: 0" for a proxy without a server. A server without a usable port
        // is not written back; only the proxy's state is.
        const std::string host = prior.value(key(kind, "host"));
        std::string port = prior.value(key(kind, "port"));
        if (port.empty()) port = "0";
        if (!host.empty() && port != "0") {
            tryWrite({std::string(kind.setCmd), service, host, port});
        }
        write({std::string(kind.stateCmd), service, onOff(isOn(prior, key(kind, "enabled")))});
    }

    const std::string url = prior.value("autoProxy.url");
    if (!url.empty()) {
        tryWrite({"-setautoproxyurl", service, url});
        tryWrite({"-setautoproxystate", service, onOff(isOn(prior, "autoProxy.enabled"))});
    } else {
        tryWrite({"-setautoproxystate", service, "off"});
    }
    tryWrite({"-setproxyautodiscovery", service, isOn(prior, "autoDiscovery") ? "On" : "Off"});
    setBypassDomains(service, text::splitLines(prior.value("bypassDomains")));
}

bool NetworksetupProxyBackend::pointsAt(const ProxySettings& current,
                                        const LocalEndpoints& ours) const {
    return pacIsOurs(current, ours) ||
           std::any_of(kKinds.begin(), kKinds.end(),
                       [&](const ProxyKind& kind) { return serverIsOurs(current, kind, ours); });
}

void NetworksetupProxyBackend::switchOffOurs(const ProxySettings& current,
                                             const LocalEndpoints& ours) {
    const std::string& service = current.scope;
    // Web, secure web and automatic configuration are best effort, so one refused write does not
    // keep the others pointing at us; SOCKS goes last and its refusal is reported, which tells
    // the caller the clean-up did not finish.
    for (const auto& kind : {kWeb, kSecureWeb}) {
        if (serverIsOurs(current, kind, ours))
            tryWrite({std::string(kind.stateCmd), service, "off"});
    }
    if (pacIsOurs(current, ours)) tryWrite({"-setautoproxystate", service, "off"});
    if (serverIsOurs(current, kSocks, ours)) write({std::string(kSocks.stateCmd), service, "off"});
}

std::vector<std::string> NetworksetupProxyBackend::describe(const ProxySettings& current) const {
    const std::string& service = current.scope;
    std::vector<std::string> lines;
    for (const auto& kind : kKinds) {
        std::string line = service + " " + std::string(kind.label) + ": " +
                           onOff(isOn(current, key(kind, "enabled")));
        const std::string host = current.value(key(kind, "host"));
        if (!host.empty()) line += " " + host + ":" + current.value(key(kind, "port"));
        lines.push_back(std::move(line));
    }
    std::string automatic =
        service + " automatic configuration: " + onOff(isOn(current, "autoProxy.enabled"));
    if (const auto url = current.value("autoProxy.url"); !url.empty()) automatic += " " + url;
    lines.push_back(std::move(automatic));
    lines.push_back(service + " automatic discovery: " + onOff(isOn(current, "autoDiscovery")));
    const auto domains = text::splitLines(current.value("bypassDomains"));
    lines.push_back(service + " bypass domains: " +
                    (domains.empty() ? std::string("none") : joinLines(domains, ", ")));
    return lines;
}

std::string NetworksetupProxyBackend::readTool(std::vector<std::string> args) {
    args.insert(args.begin(), tools_.networksetup);
    // An unreadable value reads as the tool's "off" or empty answer.
    return settings_tool::read(std::move(args)).value_or("");
}

void NetworksetupProxyBackend::write(std::vector<std::string> args) {
    args.insert(args.begin(), tools_.networksetup);
    settings_tool::write(std::move(args));
}

bool NetworksetupProxyBackend::tryWrite(std::vector<std::string> args) {
    args.insert(args.begin(), tools_.networksetup);
    return settings_tool::tryWrite(std::move(args));
}

void NetworksetupProxyBackend::setBypassDomains(const std::string& service,
                                                const std::vector<std::string>& domains) {
    std::vector<std::string> args{"-setproxybypassdomains", service};
    if (domains.empty()) {
        // "Empty" is the tool's word for clearing the list.
        args.emplace_back("Empty");
        tryWrite(std::move(args));
        return;
    }
    args.insert(args.end(), domains.begin(), domains.end());
    write(std::move(args));
}

}  // namespace nimbra
