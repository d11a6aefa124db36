// The routing script byte for byte: what the relay serves, and what its Content-Length counts.

#include "proxy/proxy_pac.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace nimbra::ProxyPAC {
namespace {

// Messy on purpose: padding, case, an empty entry, a duplicate, a quote and a backslash.
const std::vector<std::string> kBypass{" Intranet.Example.COM ", "", "build.lan\n",
                                       "intranet.example.com", "Q\"uote\\"};

// Both functions after the head are the same in either variant.
constexpr std::string_view kExpectedTail = R"pac(function isLanOrPrivate(host) {
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
    // 100.64.0.0/10 (CGNAT) — literal host only
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
}
function hostMatchesList(host, list) {
    for (var i = 0; i < list.length; i++) {
        var d = list[i];
        if (!d) continue;
        if (host === d || dnsDomainIs(host, "." + d) || shExpMatch(host, "*." + d)) return true;
    }
    return false;
})pac";

TEST(ProxyPacScript, FullVariantIsByteExact) {
    const std::string expected = R"pac(// Nimbra routing — full
function FindProxyForURL(url, host) {
    host = (host || "").toLowerCase();
    if (isLanOrPrivate(host)) return "DIRECT";
    if (hostMatchesList(host, ["build.lan", "intranet.example.com", "q\"uote\\"])) return "DIRECT";
    return "PROXY 127.0.0.1:18080; SOCKS5 127.0.0.1:40000; SOCKS 127.0.0.1:40000; DIRECT";
}

)pac" + std::string(kExpectedTail);
    EXPECT_EQ(generate(18080, "127.0.0.1", 40000, SplitTunnelMode::full, kBypass), expected);
}

TEST(ProxyPacScript, AutoSplitVariantIsByteExact) {
    const std::string expected = R"pac(// Nimbra routing — auto split (curated proxy list)
function FindProxyForURL(url, host) {
    host = (host || "").toLowerCase();
    if (isLanOrPrivate(host)) return "DIRECT";
    if (hostMatchesList(host, ["build.lan", "intranet.example.com", "q\"uote\\"])) return "DIRECT";
    if (hostMatchesList(host, ["google.com", "googleapis.com", "gstatic.com", "googleusercontent.com", "ggpht.com", "bing.com", "duckduckgo.com", "youtube.com", "googlevideo.com", "ytimg.com", "youtu.be", "netflix.com", "nflxvideo.net", "vimeo.com", "twitch.tv", "openai.com", "chatgpt.com", "oaistatic.com", "oaiusercontent.com", "anthropic.com", "claude.ai", "perplexity.ai", "mistral.ai", "huggingface.co", "hf.co", "github.com", "githubusercontent.com", "githubassets.com", "gitlab.com", "bitbucket.org", "npmjs.com", "npmjs.org", "pypi.org", "pythonhosted.org", "crates.io", "docker.com", "docker.io", "twitter.com", "x.com", "twimg.com", "facebook.com", "fbcdn.net", "instagram.com", "whatsapp.com", "whatsapp.net", "telegram.org", "t.me", "reddit.com", "discord.com", "wikipedia.org", "wikimedia.org", "nytimes.com", "bbc.com", "reuters.com", "medium.com", "stackoverflow.com", "notion.so", "evernote.com", "slack.com", "dropbox.com", "dropboxusercontent.com", "box.com", "mega.nz", "wetransfer.com"])) return "PROXY 127.0.0.1:18080; SOCKS5 127.0.0.1:40000; SOCKS 127.0.0.1:40000; DIRECT";
    return "DIRECT";
}

)pac" + std::string(kExpectedTail);
    EXPECT_EQ(generate(18080, "127.0.0.1", 40000, SplitTunnelMode::autoSplit, kBypass), expected);
}

}  // namespace
}  // namespace nimbra::ProxyPAC
