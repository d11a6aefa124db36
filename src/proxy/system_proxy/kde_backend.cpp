#include "proxy/system_proxy/kde_backend.hpp"

#include <exception>
#include <string_view>
#include <utility>

#include "base/text.hpp"
#include "proxy/system_proxy/settings_tool.hpp"
#include "system/process_control.hpp"

namespace nimbra {
namespace {

const std::string kFile = "kioslaverc";
const std::string kGroup = "Proxy Settings";

const std::string kProxyType = "ProxyType";
const std::string kScript = "Proxy Config Script";
const std::string kHttp = "httpProxy";
const std::string kHttps = "httpsProxy";
const std::string kSocks = "socksProxy";
const std::string kNoProxy = "NoProxyFor";
// With ReversedException=true KIO uses the proxy *only* for the NoProxyFor entries. A user may
// have left it on; our bypass list would then switch proxying off for everything else, so full
// mode writes it false, and it is read and restored like the other entries.
const std::string kReversed = "ReversedException";

// ProxyType values, as KIO's KProtocolManager numbers them.
constexpr std::string_view kTypeNone = "0";
constexpr std::string_view kTypeManual = "1";
constexpr std::string_view kTypePac = "2";

// What kreadconfig prints for an absent key: its --default. No kioslaverc entry holds this, so it
// tells an absent key from an empty one, and restore can delete what was not there before.
const std::string kAbsent = "<nimbra: no such kioslaverc entry 6b1d0c4e>";

std::string_view typeName(std::string_view type) {
    if (type == "0") return "none";
    if (type == "1") return "manual";
    if (type == "2") return "PAC script";
    if (type == "3") return "WPAD";
    if (type == "4") return "environment";
    return "";
}

// KDE's proxy module saves a manual proxy as the scheme and host, a space, then the port
// ("http://127.0.0.1 19998"), and it splits at that space when it loads the value into its host
// and port fields. KIO also takes "http://127.0.0.1:19998", but writing the module's own form
// keeps the settings dialog showing host and port correctly should the user open it meanwhile.
std::string kdeServer(std::string_view scheme, const std::string& host, int port) {
    const bool bareIpv6 = host.find(':') != std::string::npos && host.front() != '[';
    return std::string(scheme) + "://" + (bareIpv6 ? "[" + host + "]" : host) + " " +
           std::to_string(port);
}

struct Server {
    std::string_view host;
    std::string_view port;
};

// A manual proxy entry as KIO reads it: "scheme://host port" becomes "scheme://host:port" (the
// last space, when only digits follow it), then scheme, user name and path are dropped. Plain
// "host:port" and bracketed IPv6 hosts are understood too.
Server parseServer(std::string_view value, std::string& scratch) {
    value = text::trim(value);
    if (const auto space = value.rfind(' '); space != std::string_view::npos) {
        scratch.assign(value.substr(0, space));
        scratch += ':';
        scratch += text::trim(value.substr(space + 1));
        value = scratch;
    }
    if (const auto scheme = value.find("://"); scheme != std::string_view::npos) {
        value.remove_prefix(scheme + 3);
    }
    value = value.substr(0, value.find('/'));
    if (const auto at = value.rfind('@'); at != std::string_view::npos) value.remove_prefix(at + 1);
    if (value.starts_with('[')) {
        const auto close = value.find(']');
        if (close == std::string_view::npos) return {value, {}};
        const std::string_view rest = value.substr(close + 1);
        return {value.substr(0, close + 1), rest.starts_with(':') ? rest.substr(1) : rest};
    }
    const auto colon = value.rfind(':');
    if (colon == std::string_view::npos) return {value, {}};
    return {value.substr(0, colon), value.substr(colon + 1)};
}

bool isOurEntry(const ProxySettings& current, const std::string& key, const LocalEndpoints& ours) {
    const std::string value = current.value(key);
    std::string scratch;
    const Server server = parseServer(value, scratch);  // views into `value` or `scratch`
    return !server.port.empty() && ours.isOurServer(server.host, server.port);
}

std::string_view proxyType(const ProxySettings& current) {
    auto found = current.values.find(kProxyType);
    return found == current.values.end() ? kTypeNone : text::trim(found->second);
}

}  // namespace

const std::vector<std::string>& KdeProxyBackend::keys() {
    static const std::vector<std::string> all = {kScript,  kHttp,     kHttps,    kSocks,
                                                 kNoProxy, kReversed, kProxyType};
    return all;
}

KdeProxyBackend::Tools KdeProxyBackend::installedTools(
    const std::function<bool(const std::string&)>& isInstalled) {
    const auto installed = [&](const std::string& program) {
        return isInstalled ? isInstalled(program) : process_control::which(program).has_value();
    };
    Tools tools;
    if (installed("kwriteconfig6") && installed("kreadconfig6")) {
        tools.writeConfig = "kwriteconfig6";
        tools.readConfig = "kreadconfig6";
    }
    return tools;
}

KdeProxyBackend::KdeProxyBackend(Tools tools) : tools_(std::move(tools)) {}

ProxySettings KdeProxyBackend::read(const std::string& scope) {
    ProxySettings settings{name(), scope, {}};
    for (const std::string& key : keys()) {
        // Standard output alone: kreadconfig reports every oddity in any KDE config file it
        // loads (kdeglobals included) on standard error, which must not end up in the value.
        // A key that cannot be read is left out, so restore leaves it alone.
        auto printed = settings_tool::readOutput({tools_.readConfig, "--file", kFile, "--group",
                                                  kGroup, "--key", key, "--default", kAbsent});
        if (!printed) continue;
        std::string value = std::move(*printed);
        if (value.ends_with('\n')) value.pop_back();
        if (value != kAbsent) settings.values.emplace(key, std::move(value));
    }
    return settings;
}

void KdeProxyBackend::applyAutoSplit(const std::string&, const std::string& pacUrl) {
    write(kScript, pacUrl);
    write(kProxyType, std::string(kTypePac));
    askKioToReparse();
}

void KdeProxyBackend::applyFull(const std::string&, const FullProxyRequest& request) {
    // KIO has no entry for "host names without a dot", so "<local>" is left out; the loopback
    // names and private ranges in the list still bypass the relay.
    std::string bypass;
    for (const std::string& domain : request.bypassDomains) {
        if (domain == "<local>") continue;
        if (!bypass.empty()) bypass += ',';
        bypass += domain;
    }
    write(kHttp, kdeServer("http", request.host, request.httpPort));
    write(kHttps, kdeServer("http", request.host, request.httpPort));
    write(kSocks, kdeServer("socks", request.host, request.socksPort));
    write(kNoProxy, bypass);
    write(kReversed, "false");
    write(kProxyType, std::string(kTypeManual));
    askKioToReparse();
}

void KdeProxyBackend::restore(const ProxySettings& prior) {
    // Every entry is attempted even after one fails, so as much of the user's setup as possible
    // is back; the first failure is what the caller hears about.
    std::exception_ptr firstFailure;
    for (const std::string& key : keys()) {
        try {
            auto found = prior.values.find(key);
            if (found == prior.values.end()) {
                remove(key);
            } else {
                write(key, found->second);
            }
        } catch (const std::exception&) {
            if (!firstFailure) firstFailure = std::current_exception();
        }
    }
    askKioToReparse();
    if (firstFailure) std::rethrow_exception(firstFailure);
}

bool KdeProxyBackend::pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const {
    const std::string_view type = proxyType(current);
    if (type == kTypePac) return ours.isOurPacAddress(current.value(kScript));
    if (type != kTypeManual) return false;
    return isOurEntry(current, kHttp, ours) || isOurEntry(current, kHttps, ours) ||
           isOurEntry(current, kSocks, ours);
}

void KdeProxyBackend::switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) {
    const std::string_view type = proxyType(current);
    bool oursInEffect = false;
    if (type == kTypePac) {
        oursInEffect = ours.isOurPacAddress(current.value(kScript));
    } else if (type == kTypeManual) {
        // KIO has one switch for all manual proxies. When the user's own proxy is in effect next
        // to ours, turning ProxyType off would take it down too, so the whole group is left as
        // it is.
        for (const std::string& key : {kHttp, kHttps, kSocks}) {
            if (current.value(key).empty()) continue;
            if (!isOurEntry(current, key, ours)) return;
            oursInEffect = true;
        }
    }
    if (!oursInEffect) return;
    write(kProxyType, std::string(kTypeNone));
    askKioToReparse();
}

std::vector<std::string> KdeProxyBackend::describe(const ProxySettings& current) const {
    std::vector<std::string> lines;
    auto type = current.values.find(kProxyType);
    if (type == current.values.end()) {
        lines.push_back(kProxyType + ": not set (none)");
    } else {
        const std::string_view typeText = typeName(text::trim(type->second));
        lines.push_back(kProxyType + ": " + type->second +
                        (typeText.empty() ? "" : " (" + std::string(typeText) + ")"));
    }
    for (const std::string& key : keys()) {
        auto found = current.values.find(key);
        if (key != kProxyType && found != current.values.end()) {
            lines.push_back(key + ": " + found->second);
        }
    }
    return lines;
}

void KdeProxyBackend::write(const std::string& key, const std::string& value) const {
    // "--" ends the options: a value such as "-foo" would otherwise be taken for one.
    settings_tool::write(
        {tools_.writeConfig, "--file", kFile, "--group", kGroup, "--key", key, "--", value});
}

void KdeProxyBackend::remove(const std::string& key) const {
    // kwriteconfig ignores the value with --delete; an empty one costs nothing and suits builds
    // that may still demand one.
    settings_tool::write({tools_.writeConfig, "--file", kFile, "--group", kGroup, "--key", key,
                          "--delete", "--", ""});
}

void KdeProxyBackend::askKioToReparse() const {
    // What KDE's proxy module sends after saving. Best effort: without a session bus (a server,
    // a login over ssh) there is nobody running to tell, and the next KIO client reads the file.
    settings_tool::tryWrite({tools_.dbusSend, "--session", "--type=signal", "/KIO/Scheduler",
                             "org.kde.KIO.Scheduler.reparseSlaveConfiguration", "string:"});
}

}  // namespace nimbra
