#include "system/platform_profile.hpp"

namespace nimbra {

PlatformProfile PlatformProfile::forLinux() {
    PlatformProfile p;
    p.usqueDeviceName = "nimbra-linux";
    p.usqueFetchScript = "scripts/fetch-usque";
    p.usqueInstallLocations = {"/usr/local/bin/usque"};
    p.curl = "/usr/bin/curl";
    p.which = "/usr/bin/which";
    p.lsof = "/usr/bin/lsof";
    p.ps = "/bin/ps";
    // The Linux packages put warp-cli in /usr/bin and run the warp-svc daemon; /usr/local/bin
    // stays for hand-made installs.
    p.warpCliPaths = {"/usr/bin/warp-cli", "/usr/local/bin/warp-cli"};
    p.warpInstalledMarkers = {"/usr/bin/warp-svc", "/var/lib/cloudflare-warp"};
    p.warpProcessNames = {"warp-svc", "warp-taskbar"};
    // systemd-resolved keeps the per-link servers (where Tailscale puts 100.100.100.100) out of
    // resolv.conf, which then names only its stub; resolvectl shows them.
    p.resolvConf = "/etc/resolv.conf";
    p.resolvectl = "/usr/bin/resolvectl";
    p.procRoot = "/proc";
    p.tunnelInterfacePrefix = "nimbra";
    p.nimbradHint = {"nimbrad not found — build it with ./run or install the nimbra package",
                     "找不到 nimbrad。请用 ./run 构建，或安装 nimbra 软件包"};
    p.followSystemAppearance = {"Follow the system appearance", "根据系统设置自适应切换"};
    p.hintTunnelDevice = "nimbra0";
    p.hintNamesReportedTunnelDevice = true;
    // The vendors' own Debian packages (and Debian's telegram-desktop) install these entries; a
    // Flatpak or Snap copy has another id and path and is added from the app lists instead. No
    // X (Twitter) client is made for Linux.
    p.appRulePresets = {
        {"Google Chrome", "google-chrome", "google-chrome",
         "/usr/share/applications/google-chrome.desktop"},
        {"Cursor", "cursor", "cursor", "/usr/share/applications/cursor.desktop"},
        {"Telegram", "org.telegram.desktop", "telegram-desktop",
         "/usr/share/applications/org.telegram.desktop.desktop"},
        {"Discord", "discord", "discord", "/usr/share/applications/discord.desktop"},
        {"Visual Studio Code", "code", "code", "/usr/share/applications/code.desktop"},
        {"Slack", "slack", "slack", "/usr/share/applications/slack.desktop"},
    };
    p.chooseAppFromDisk = {"Choose application from disk…", "从磁盘选择应用…"};
    p.showInFileManager = {"Show in Files", "在文件管理器中显示"};
    p.searchAppPlaceholder = {"Search app name or ID…", "搜索应用名称或 ID…"};
    return p;
}

PlatformProfile PlatformProfile::forMacos() {
    PlatformProfile p;
    p.usqueDeviceName = "nimbra-macos";
    p.usqueFetchScript = "macos/Scripts/fetch-usque-macos.sh";
    p.usqueInstallLocations = {"/opt/homebrew/bin/usque", "/usr/local/bin/usque"};
    p.curl = "/usr/bin/curl";
    p.which = "/usr/bin/which";
    p.lsof = "/usr/sbin/lsof";
    p.ps = "/bin/ps";
    p.warpCliPaths = {"/usr/local/bin/warp-cli", "/opt/homebrew/bin/warp-cli",
                      "/Applications/Cloudflare WARP.app/Contents/Resources/warp-cli"};
    p.warpInstalledMarkers = {"/Applications/Cloudflare WARP.app"};
    p.warpProcessNames = {"CloudflareWARP", "Cloudflare WARP"};
    p.scutil = "/usr/sbin/scutil";
    p.tunnelInterfacePrefix = "utun";
    p.nimbradHint = {"nimbrad not found — run macos/daemon/Scripts/build.sh",
                     "找不到 nimbrad。请运行 macos/daemon/Scripts/build.sh"};
    p.followSystemAppearance = {"Follow macOS system appearance", "根据 macOS 系统设置自适应切换"};
    p.hintTunnelDevice = "utun";
    p.appRulePresets = {
        {"Google Chrome", "com.google.Chrome", "Google Chrome", "/Applications/Google Chrome.app"},
        {"Cursor", "com.todesktop.230313mzl4w4u92", "Cursor", "/Applications/Cursor.app"},
        {"Telegram", "ru.keepcoder.Telegram", "Telegram", "/Applications/Telegram.app"},
        {"Discord", "com.hnc.Discord", "Discord", "/Applications/Discord.app"},
        {"Visual Studio Code", "com.microsoft.VSCode", "Code",
         "/Applications/Visual Studio Code.app"},
        {"Slack", "com.tinyspeck.slackmacgap", "Slack", "/Applications/Slack.app"},
        {"Twitter / X", "com.twitter.twitter-mac", "Twitter", "/Applications/Twitter.app"},
    };
    p.chooseAppFromDisk = {"Choose .app from disk…", "从磁盘选择 .app…"};
    p.showInFileManager = {"Reveal in Finder", "在访达中显示"};
    p.searchAppPlaceholder = {"Search app name or bundle ID…", "搜索应用名称或 Bundle ID…"};
    return p;
}

const PlatformProfile& PlatformProfile::current() {
#ifdef __APPLE__
    static const PlatformProfile profile = forMacos();
#else
    static const PlatformProfile profile = forLinux();
#endif
    return profile;
}

}  // namespace nimbra
