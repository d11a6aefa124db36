// Nimbra routing — auto split (curated proxy list)
function FindProxyForURL(url, host) {
    host = (host || "").toLowerCase();
    if (isLanOrPrivate(host)) return "DIRECT";
    if (hostMatchesList(host, [])) return "DIRECT";
    if (hostMatchesList(host, ["google.com", "googleapis.com", "gstatic.com", "googleusercontent.com", "ggpht.com", "bing.com", "duckduckgo.com", "youtube.com", "googlevideo.com", "ytimg.com", "youtu.be", "netflix.com", "nflxvideo.net", "vimeo.com", "twitch.tv", "openai.com", "chatgpt.com", "oaistatic.com", "oaiusercontent.com", "anthropic.com", "claude.ai", "perplexity.ai", "mistral.ai", "huggingface.co", "hf.co", "github.com", "githubusercontent.com", "githubassets.com", "gitlab.com", "bitbucket.org", "npmjs.com", "npmjs.org", "pypi.org", "pythonhosted.org", "crates.io", "docker.com", "docker.io", "twitter.com", "x.com", "twimg.com", "facebook.com", "fbcdn.net", "instagram.com", "whatsapp.com", "whatsapp.net", "telegram.org", "t.me", "reddit.com", "discord.com", "wikipedia.org", "wikimedia.org", "nytimes.com", "bbc.com", "reuters.com", "medium.com", "stackoverflow.com", "notion.so", "evernote.com", "slack.com", "dropbox.com", "dropboxusercontent.com", "box.com", "mega.nz", "wetransfer.com"])) return "PROXY 127.0.0.1:8118; SOCKS5 127.0.0.1:1080; SOCKS 127.0.0.1:1080; DIRECT";
    return "DIRECT";
}

function isLanOrPrivate(host) {
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
}