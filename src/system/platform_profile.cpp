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
