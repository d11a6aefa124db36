#include "proxy/proxy_pac.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "base/text.hpp"
#include "proxy/pac_domains.hpp"

namespace nimbra::ProxyPAC {
namespace {

// The script text below must come out byte for byte as written: what the relay serves is
// compared against it, and its Content-Length counts these bytes. Four spaces per level, the
// em dashes are U+2014, and neither function ends with a newline.

constexpr std::string_view kFullHeadTitle = "// Nimbra routing \u2014 full\n";
constexpr std::string_view kAutoHeadTitle =
    "// Nimbra routing \u2014 auto split (curated proxy list)\n";

constexpr std::string_view kHeadOpening =
    "function FindProxyForURL(url, host) {\n"
    "    host = (host || \"\").toLowerCase();\n"
    "    if (isLanOrPrivate(host)) return \"DIRECT\";\n"
    "    if (hostMatchesList(host, ";
// ...bypass array...
constexpr std::string_view kAfterBypass = ")) return \"DIRECT\";\n";

// The head ends with its closing brace, a newline and one empty line.
constexpr std::string_view kHeadClosing = "}\n\n";

constexpr std::string_view kIsLanOrPrivate =
    R"js(function isLanOrPrivate(host) {
    if (!host || isPlainHostName(host) || host === "localhost") return true;
    if (host === "::1" || host.indexOf("fe80:") === 0) return true;
    if (shExpMatch(host, "127.*") ||
        shExpMatch(host, "10.*") ||
        shExpMatch(host, "192.168.*") ||
        shExpMatch(host, "169.254.*")) {
        return true;
    }
    // 172.16.0.0/12
    if (shExpMatch(host, "172.1[6-9].*") ||
        shExpMatch(host, "172.2[0-9].*") ||
        shExpMatch(host, "172.3[0-1].*")) {
        return true;
    }
    // 100.64.0.0/10 (CGNAT) )js"
    "\u2014"
    R"js( literal host only
    var cgnat = /^100\.(\d+)\./.exec(host);
    if (cgnat) {
        var second = parseInt(cgnat[1], 10);
        if (second >= 64 && second <= 127) return true;
    }
    try {
        if (typeof isInNet === "function") {
            if (isInNet(host, "10.0.0.0", "255.0.0.0")) return true;
            if (isInNet(host, "172.16.0.0", "255.240.0.0")) return true;
            if (isInNet(host, "192.168.0.0", "255.255.0.0")) return true;
            if (isInNet(host, "127.0.0.0", "255.0.0.0")) return true;
            if (isInNet(host, "169.254.0.0", "255.255.0.0")) return true;
            if (isInNet(host, "100.64.0.0", "255.192.0.0")) return true;
        }
    } catch (e) {}
    return false;
})js";

constexpr std::string_view kHostMatchesList =
    R"js(function hostMatchesList(host, list) {
    for (var i = 0; i < list.length; i++) {
        var d = list[i];
        if (!d) continue;
        if (host === d || dnsDomainIs(host, "." + d) || shExpMatch(host, "*." + d)) return true;
    }
    return false;
})js";

// Unicode White_Space as UTF-8, beyond the ASCII set text::trim already strips: NEL, no-break
// space, Ogham space mark, the En quad..hair space block, line and paragraph separators, narrow
// no-break space, medium mathematical space, ideographic space. Pasted host lists carry these.
constexpr std::array<std::string_view, 19> kWideWhitespace{
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    for (;;) {
        const size_t before = text.size();
        text = text::trim(text);
        for (const std::string_view space : kWideWhitespace) {
            if (text.starts_with(space)) text.remove_prefix(space.size());
            if (text.ends_with(space)) text.remove_suffix(space.size());
        }
        if (text.size() == before) return text;
    }
}

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (size_t pos = text.find(from); pos != std::string::npos;
         pos = text.find(from, pos + to.size())) {
        text.replace(pos, from.size(), to);
    }
}

}  // namespace

std::string proxyDirective(std::string_view socksHost, int httpPort, int socksPort) {
    const std::string host(socksHost);
    const std::string socks = host + ":" + std::to_string(socksPort);
    return "PROXY " + host + ":" + std::to_string(httpPort) + "; SOCKS5 " + socks + "; SOCKS " +
           socks + "; DIRECT";
}

std::vector<std::string> normalizedHosts(const std::vector<std::string>& list) {
    std::vector<std::string> hosts;
    hosts.reserve(list.size());
    for (const std::string& entry : list) {
        std::string host = text::toLowerAscii(trimWhitespaceAndNewlines(entry));
        if (!host.empty()) hosts.push_back(std::move(host));
    }
    std::sort(hosts.begin(), hosts.end());
    hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
    return hosts;
}

std::string jsStringArray(const std::vector<std::string>& list) {
    std::string out = "[";
    for (size_t i = 0; i < list.size(); ++i) {
        std::string entry = list[i];
        // Backslashes first, or the ones added for the quotes would be doubled again.
        replaceAll(entry, "\\", "\\\\");
        replaceAll(entry, "\"", "\\\"");
        if (i > 0) out += ", ";
        out += '"';
        out += entry;
        out += '"';
    }
    out += ']';
    return out;
}

std::string generate(int httpPort, std::string_view socksHost, int socksPort,
                     SplitTunnelMode splitMode, const std::vector<std::string>& extraBypass) {
    const std::string directive = proxyDirective(socksHost, httpPort, socksPort);
    const std::string bypass = jsStringArray(normalizedHosts(extraBypass));
    const bool autoSplit = splitMode == SplitTunnelMode::autoSplit;

    std::string script;
    script += autoSplit ? kAutoHeadTitle : kFullHeadTitle;
    script += kHeadOpening;
    script += bypass;
    script += kAfterBypass;
    if (autoSplit) {
        const auto curated = curatedProxyList();
        script += "    if (hostMatchesList(host, ";
        script += jsStringArray(std::vector<std::string>(curated.begin(), curated.end()));
        script += ")) return \"";
        script += directive;
        script += "\";\n";
        script += "    return \"DIRECT\";\n";
    } else {
        script += "    return \"";
        script += directive;
        script += "\";\n";
    }
    script += kHeadClosing;
    script += kIsLanOrPrivate;
    script += '\n';
    script += kHostMatchesList;
    return script;
}

}  // namespace nimbra::ProxyPAC
