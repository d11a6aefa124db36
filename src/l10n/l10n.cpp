#include "l10n/l10n.hpp"

#include <initializer_list>

namespace nimbra::L10n {

namespace {

// Glues the pieces of one sentence together.
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) text += piece;
    return text;
}

std::string number(long long value) {
    return std::to_string(value);
}

}  // namespace

std::string status(WarpPhase phase, AppLanguage language) {
    return std::string(statusLabel(phase, language));
}

std::string ready(AppLanguage language) {
    return std::string(pick(language, "Ready", "就绪"));
}
std::string checkingUsque(AppLanguage language) {
    return std::string(pick(language, "Checking usque…", "正在检查 usque…"));
}
std::string disconnecting(AppLanguage language) {
    return std::string(pick(language, "Disconnecting…", "断开中…"));
}
std::string cancelling(AppLanguage language) {
    return std::string(pick(language, "Cancelling…", "正在取消…"));
}
std::string disconnected(AppLanguage language) {
    return std::string(pick(language, "Disconnected", "已断开"));
}
std::string cancelled(AppLanguage language) {
    return std::string(pick(language, "Cancelled", "已取消"));
}

std::optional<std::string> restingTextIn(std::string_view text, AppLanguage language) {
    for (auto textIn : {&ready, &disconnected, &cancelled}) {
        for (AppLanguage shown : {AppLanguage::english, AppLanguage::chinese}) {
            if (text == textIn(shown)) return textIn(language);
        }
    }
    return std::nullopt;
}

std::string usqueNotFound(std::string_view fetchScript, AppLanguage language) {
    return concat({pick(language, "(not found — run ", "（未找到 — 请运行 "), fetchScript,
                   pick(language, ")", "）")});
}

namespace {

bool connectUnderWay(WarpPhase phase, bool connecting) {
    return connecting || phase == WarpPhase::preparing || phase == WarpPhase::startingEngine;
}

bool connectedIn(WarpPhase phase) {
    return phase == WarpPhase::connected || phase == WarpPhase::reconnecting;
}

}  // namespace

std::string connectButtonTitle(WarpPhase phase, bool connecting, AppLanguage language) {
    // A cancelled attempt keeps `connecting` through its teardown, but there is nothing left to
    // cancel: the button asks to wait like any other teardown.
    if (phase == WarpPhase::stopping) return std::string(pick(language, "Please wait…", "请稍候…"));
    if (connectUnderWay(phase, connecting)) return std::string(pick(language, "Cancel", "取消"));
    if (connectedIn(phase)) return std::string(pick(language, "Disconnect", "断开"));
    return std::string(pick(language, "Connect", "连接"));
}

std::string trayToggleTitle(WarpPhase phase, bool connecting, AppLanguage language) {
    if (connectUnderWay(phase, connecting)) {
        return std::string(pick(language, "Cancel Connect", "取消连接"));
    }
    if (connectedIn(phase)) return std::string(pick(language, "Disconnect", "断开连接"));
    return std::string(pick(language, "Connect", "连接"));
}

std::string trayShowWindow(AppLanguage language) {
    return std::string(pick(language, "Show Main Window", "显示主窗口"));
}
std::string trayAppRules(AppLanguage language) {
    return std::string(pick(language, "Per-App Rules & Launch", "应用分流 & 独立启动"));
}
std::string trayRecheckConflicts(AppLanguage language) {
    return std::string(pick(language, "Recheck Conflicts", "重新检测冲突"));
}
std::string trayLanguageMenu(AppLanguage language) {
    return std::string(pick(language, "Language", "语言"));
}
std::string trayThemeMenu(AppLanguage language) {
    return std::string(pick(language, "Theme Appearance", "主题外观"));
}
std::string trayQuit(AppLanguage language) {
    return std::string(pick(language, "Quit Nimbra", "退出 Nimbra"));
}
std::string trayEstablishingTunnel(AppLanguage language) {
    return std::string(pick(language, "Establishing tunnel…", "正在建立隧道…"));
}
std::string trayCleaningUp(AppLanguage language) {
    return std::string(pick(language, "Cleaning up…", "正在清理…"));
}
std::string trayDisconnectOfficialWarp(AppLanguage language) {
    return std::string(pick(language, "Disconnect official WARP first", "需先断开官方 WARP"));
}
std::string notifyConnectFailed(AppLanguage language) {
    return std::string(pick(language, "Nimbra could not connect", "Nimbra 连接失败"));
}
std::string notifyHealFailed(AppLanguage language) {
    return std::string(
        pick(language, "Nimbra could not repair the connection", "Nimbra 未能修复连接"));
}
std::string notifyKeepsRunning(AppLanguage language) {
    return std::string(pick(
        language, "Nimbra keeps running. Launch Nimbra again or press Alt+M to show the window.",
        "Nimbra 仍在后台运行。再次启动 Nimbra 或按 Alt+M 即可显示窗口。"));
}

std::string dnsModeTitle(DaemonDNSModeOption mode, AppLanguage language) {
    return std::string(title(mode, language));
}

std::string appRulesModeNotice(std::string_view modeTitle, AppLanguage language) {
    return concat(
        {pick(language, "Current mode '", "当前为「"), modeTitle,
         pick(language,
              "': Transparent per-app split requires 'Real TUN'; "
              "or click 🚀 to launch app with proxy",
              "」模式：系统级透明分流需开启「真全局 (TUN)」；当前模式可点 🚀 独立拉起代理应用")});
}

std::string launchFailed(std::string_view error, AppLanguage language) {
    return concat({pick(language, "Launch failed: ", "启动失败: "), error});
}

std::string appRulesCount(long long count, AppLanguage language) {
    return concat({number(count), pick(language, " rules", " 个规则")});
}

std::optional<std::string> conflictBanner(const std::vector<ConflictHint>& hints,
                                          AppLanguage language) {
    if (hints.empty()) return std::nullopt;
    std::string banner;
    for (ConflictHint hint : hints) {
        if (!banner.empty()) banner += " · ";
        banner += hintText(hint, language);
    }
    return banner;
}

std::string exitProbeRetrying(int current, int threshold, AppLanguage language) {
    return concat({pick(language, "Exit probe failed — retrying (", "出口探测失败 — 将自动重试（"),
                   number(current), "/", number(threshold), pick(language, ")", "）")});
}

std::string tunnelRecovered(AppLanguage language) {
    return std::string(pick(language, "Tunnel recovered", "隧道已恢复"));
}

std::string selfHealing(AppLanguage language) {
    return std::string(pick(language, "Tunnel unhealthy — self-healing…", "隧道异常，正在自愈…"));
}

std::string switchingGateway(AppLanguage language) {
    return std::string(pick(language, "Switching exit gateway…", "正在无缝切换出口节点…"));
}

std::string healIncomplete(std::string_view error, AppLanguage language) {
    return concat(
        {pick(language, "Heal incomplete — will retry: ", "自愈未完全成功，稍后重试 — "), error});
}

std::string healFailed(std::string_view error, AppLanguage language) {
    return concat({pick(language, "Heal failed — will retry: ", "自愈失败，稍后重试 — "), error});
}

std::string exitProbeFailed(std::string_view error, AppLanguage language) {
    return concat({pick(language, "Exit probe failed: ", "出口探测失败："), error});
}

std::string connectedVia(std::string_view loc, std::string_view colo, std::string_view warp,
                         AppLanguage language) {
    return concat({pick(language, "Connected · ", "已连接 · "), loc, "/", colo, " · WARP ", warp});
}

std::string systemExit(std::string_view loc, std::string_view colo, std::string_view warp,
                       AppLanguage language) {
    return concat(
        {pick(language, "System exit · ", "系统出口 · "), loc, "/", colo, " · WARP ", warp});
}

std::string tunnelAnomaly(std::string_view loc, std::string_view colo, std::string_view warp,
                          AppLanguage language) {
    return concat(
        {pick(language, "Tunnel anomaly (possible leak) · loc=", "隧道异常（可能泄漏）· loc="), loc,
         " colo=", colo, " warp=", warp});
}

std::string connectedButExitProbeFailed(AppLanguage language) {
    return std::string(pick(language, "Connected but exit probe failed — tunnel may be unhealthy",
                            "已连接但出口探测失败 — 隧道可能异常"));
}

std::string networkError(AppLanguage language) {
    return std::string(pick(language, "network error", "网络错误"));
}

std::string startingSocks(bool http2, AppLanguage language) {
    if (http2)
        return std::string(
            pick(language, "Starting usque SOCKS (HTTP/2)…", "启动 usque SOCKS（HTTP/2）…"));
    return std::string(pick(language, "Starting usque SOCKS (QUIC)…", "启动 usque SOCKS（QUIC）…"));
}

std::string probingExit(AppLanguage language) {
    return std::string(pick(language, "Probing WARP exit…", "探测 WARP 出口…"));
}

std::string retryingAfterProbe(AppLanguage language) {
    return std::string(pick(language, "QUIC/probe failed — retrying with HTTP/2…",
                            "QUIC/探测失败，自动改用 HTTP/2 重试…"));
}

std::string retryingAfterStart(AppLanguage language) {
    return std::string(
        pick(language, "Start failed — retrying with HTTP/2…", "启动失败，自动改用 HTTP/2 重试…"));
}

std::string startingHttpGateway(AppLanguage language) {
    return std::string(pick(language, "Starting HTTP gateway…", "启动 HTTP 网关…"));
}

std::string applyingSystemProxy(AppLanguage language) {
    return std::string(pick(language, "Applying system proxy…", "写入系统代理…"));
}

std::string tunnelNotViaWarp(std::string_view loc, std::string_view colo, std::string_view warp,
                             std::string_view ip, AppLanguage language) {
    return concat({pick(language, "Tunnel not via WARP (loc=", "隧道未走 WARP（loc="), loc,
                   " colo=", colo, " warp=", warp, " ip=", ip, pick(language, ")", "）")});
}

std::string warpExitProbeFailed(AppLanguage language) {
    return std::string(pick(language, "WARP exit probe failed", "WARP 出口探测失败"));
}

std::string coverageAutoSplit(AppLanguage language) {
    return std::string(
        pick(language, "Auto split · high-value domains proxied", "自动分流 · 高价值域名走代理"));
}

std::string coverageSystemProxy(int httpPort, int socksPort, AppLanguage language) {
    return concat({pick(language, "Full proxy · Web+HTTPS→:", "完整代理 · Web+HTTPS→:"),
                   number(httpPort), " · SOCKS→:", number(socksPort)});
}

std::string coverageProxyWriteFailed(std::string_view error, AppLanguage language) {
    return concat({pick(language, "System proxy write failed: ", "系统代理写入失败: "), error});
}

std::string coverageRealTun(std::string_view dnsMode, AppLanguage language) {
    return concat({pick(language, "Real TUN · ", "真全局 · "),
                   dnsMode.empty() ? "cloudflare" : dnsMode,
                   pick(language, " DNS · Tailscale/LAN excluded · DNS switchable live",
                        " DNS · Tailscale/LAN 已排除 · DNS 可独立切换")});
}

std::string coverageTunSocksCompat(int port, AppLanguage language) {
    return concat({pick(language, "compat SOCKS :", "兼容 SOCKS :"), number(port),
                   pick(language, " (via TUN)", "（出站走 TUN）")});
}

std::string coverageTunSocksCompatFailed(std::string_view error, AppLanguage language) {
    return concat({pick(language, "compat SOCKS not up (", "兼容 SOCKS 未启动（"), error,
                   pick(language, ")", "）")});
}

std::string checkingUsqueConfig(AppLanguage language) {
    return std::string(pick(language, "Checking usque config…", "检查 usque 配置…"));
}

std::string startingRealTun(AppLanguage language) {
    return std::string(
        pick(language, "Starting real TUN (nimbrad)…", "启动真全局 TUN（nimbrad）…"));
}

std::string installingDaemon(AppLanguage language) {
    return std::string(pick(language, "Installing nimbrad daemon (admin password once)…",
                            "首次安装 nimbrad 守护进程（仅此一次需管理员密码）…"));
}

std::string retryingRealTunOnHttp2(AppLanguage language) {
    return std::string(pick(language, "QUIC/probe failed — retrying with HTTP/2…",
                            "QUIC/探测失败，自动改用 HTTP/2 重试…"));
}

std::string verifyingRealTun(AppLanguage language) {
    return std::string(
        pick(language, "Verifying real TUN (no proxy env)…", "验证真全局（无代理环境变量）…"));
}

std::string tunProbeFailed(std::string_view detail, AppLanguage language) {
    return concat({pick(language, "TUN up but direct probe not via WARP (",
                        "TUN 已启动但直连探测未走 WARP（"),
                   detail,
                   pick(language, "). Go/OAuth may still fail.", "）。Go/OAuth 可能仍失败。")});
}

std::string connectTimedOut(int seconds, AppLanguage language) {
    return concat(
        {pick(language, "Connect timed out (", "连接超时（"), number(seconds),
         pick(language,
              "s). Disconnect official WARP / check Tailscale DNS, "
              "or use Local SOCKS + HTTP/2.",
              "s）。请断开官方 WARP / 检查 Tailscale DNS，或改用仅本地 SOCKS + HTTP/2。")});
}

}  // namespace nimbra::L10n
