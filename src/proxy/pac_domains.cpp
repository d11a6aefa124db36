#include "proxy/pac_domains.hpp"

#include <array>

namespace nimbra::ProxyPAC {
namespace {

// Grouped by kind of service; the order is the order in the script. One place only: the routing
// script and its tests both read this list.
constexpr std::array<std::string_view, kCuratedProxyListSize> kCuratedProxyList{
    // Search and the content delivery behind it
    "google.com",
    "googleapis.com",
    "gstatic.com",
    "googleusercontent.com",
    "ggpht.com",
    "bing.com",
    "duckduckgo.com",
    // Video
    "youtube.com",
    "googlevideo.com",
    "ytimg.com",
    "youtu.be",
    "netflix.com",
    "nflxvideo.net",
    "vimeo.com",
    "twitch.tv",
    // AI assistants and model hubs
    "openai.com",
    "chatgpt.com",
    "oaistatic.com",
    "oaiusercontent.com",
    "anthropic.com",
    "claude.ai",
    "perplexity.ai",
    "mistral.ai",
    "huggingface.co",
    "hf.co",
    // Code hosting and package registries
    "github.com",
    "githubusercontent.com",
    "githubassets.com",
    "gitlab.com",
    "bitbucket.org",
    "npmjs.com",
    "npmjs.org",
    "pypi.org",
    "pythonhosted.org",
    "crates.io",
    "docker.com",
    "docker.io",
    // Social networks and messaging
    "twitter.com",
    "x.com",
    "twimg.com",
    "facebook.com",
    "fbcdn.net",
    "instagram.com",
    "whatsapp.com",
    "whatsapp.net",
    "telegram.org",
    "t.me",
    "reddit.com",
    "discord.com",
    // News and reference
    "wikipedia.org",
    "wikimedia.org",
    "nytimes.com",
    "bbc.com",
    "reuters.com",
    "medium.com",
    "stackoverflow.com",
    // Note-taking and team chat
    "notion.so",
    "evernote.com",
    "slack.com",
    // File storage
    "dropbox.com",
    "dropboxusercontent.com",
    "box.com",
    "mega.nz",
    "wetransfer.com",
};

}  // namespace

std::span<const std::string_view, kCuratedProxyListSize> curatedProxyList() {
    return kCuratedProxyList;
}

}  // namespace nimbra::ProxyPAC
