#include "apprules/chromium_family.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "base/text.hpp"

namespace nimbra::apprules {
namespace {

constexpr std::array<std::string_view, 20> kDesktopIds{
    "google-chrome",
    "google-chrome-beta",
    "google-chrome-unstable",
    "chromium",
    "chromium-browser",
    "microsoft-edge",
    "brave-browser",
    "vivaldi-stable",
    "opera",
    "cursor",
    "code",
    "code-insiders",
    "com.visualstudio.code",
    "discord",
    "com.discordapp.discord",
    "slack",
    "com.slack.slack",
    "org.telegram.desktop",
    "spotify",
    "com.spotify.client",
};

constexpr std::array<std::string_view, 9> kNameFragments{
    "chrome", "edge", "brave", "cursor", "code", "electron", "chromium", "vivaldi", "opera",
};

}  // namespace

bool isChromiumOrElectronApp(const AppRuleItem& item) {
    const std::string id = text::toLowerAscii(item.bundleId);
    const std::string name = text::toLowerAscii(item.name);
    return std::find(kDesktopIds.begin(), kDesktopIds.end(), id) != kDesktopIds.end() ||
           std::any_of(
               kNameFragments.begin(), kNameFragments.end(),
               [&](std::string_view fragment) { return name.find(fragment) != std::string::npos; });
}

}  // namespace nimbra::apprules
