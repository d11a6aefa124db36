#include "l10n/l10n.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace nimbra {
namespace {

constexpr AppLanguage en = AppLanguage::english;
constexpr AppLanguage zh = AppLanguage::chinese;

// --- Status labels and DNS mode titles -------------------------------------------------------

TEST(L10nStatus, EveryPhaseHasItsLabelInBothLanguages) {
    struct Case {
        WarpPhase phase;
        const char* english;
        const char* chinese;
    };
    const Case cases[] = {
        {WarpPhase::disconnected, "Disconnected", "未连接"},
        {WarpPhase::preparing, "Connecting", "连接中"},
        {WarpPhase::startingEngine, "Connecting", "连接中"},
        {WarpPhase::connected, "Connected", "已连接"},
        {WarpPhase::reconnecting, "Reconnecting", "重连中"},
        {WarpPhase::stopping, "Disconnecting", "断开中"},
        {WarpPhase::error, "Error", "出错"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(rawValue(c.phase)));
        EXPECT_EQ(L10n::status(c.phase, en), c.english);
        EXPECT_EQ(L10n::status(c.phase, zh), c.chinese);
    }
}

TEST(L10nStatus, OnlyCustomDnsModeIsTranslated) {
    EXPECT_EQ(L10n::dnsModeTitle(DaemonDNSModeOption::cloudflare, en), "CF");
    EXPECT_EQ(L10n::dnsModeTitle(DaemonDNSModeOption::cloudflare, zh), "CF");
    EXPECT_EQ(L10n::dnsModeTitle(DaemonDNSModeOption::nextdns, zh), "NextDNS");
    EXPECT_EQ(L10n::dnsModeTitle(DaemonDNSModeOption::custom, en), "Custom");
    EXPECT_EQ(L10n::dnsModeTitle(DaemonDNSModeOption::custom, zh), "自定义");
}

// --- Language chosen from the stored preference ----------------------------------------------

TEST(L10nLanguage, UnknownStoredLanguageRendersEnglish) {
    const AppLanguage language = appLanguageFromPreference("fr");
    EXPECT_EQ(L10n::status(WarpPhase::connected, language), "Connected");
    EXPECT_EQ(L10n::appRulesCount(3, language), "3 rules");
    EXPECT_EQ(L10n::launchFailed("no such app", language), "Launch failed: no such app");
    EXPECT_EQ(L10n::conflictBanner({ConflictHint::disconnectOfficialWarp}, language),
              "Disconnect official WARP first");
}

TEST(L10nLanguage, StoredZhRendersChinese) {
    const AppLanguage language = appLanguageFromPreference("zh");
    EXPECT_EQ(L10n::status(WarpPhase::connected, language), "已连接");
    EXPECT_EQ(L10n::launchFailed("no such app", language), "启动失败: no such app");
}

// --- Numbers inserted into texts -------------------------------------------------------------

TEST(L10nNumbers, RuleCountHasNoSingularForm) {
    EXPECT_EQ(L10n::appRulesCount(1, en), "1 rules");
    EXPECT_EQ(L10n::appRulesCount(1, zh), "1 个规则");
    EXPECT_EQ(L10n::appRulesCount(0, en), "0 rules");
    EXPECT_EQ(L10n::appRulesCount(12345678901LL, zh), "12345678901 个规则");
}

TEST(L10nNumbers, ExitProbeRetryingShowsAttemptOfThreshold) {
    EXPECT_EQ(L10n::exitProbeRetrying(1, 3, en), "Exit probe failed — retrying (1/3)");
    EXPECT_EQ(L10n::exitProbeRetrying(1, 3, zh), "出口探测失败 — 将自动重试（1/3）");
    EXPECT_EQ(L10n::exitProbeRetrying(2, 10, en), "Exit probe failed — retrying (2/10)");
}

TEST(L10nNumbers, ConnectTimedOutShowsSeconds) {
    EXPECT_EQ(L10n::connectTimedOut(90, en),
              "Connect timed out (90s). Disconnect official WARP / check Tailscale DNS, "
              "or use Local SOCKS + HTTP/2.");
    EXPECT_EQ(
        L10n::connectTimedOut(90, zh),
        "连接超时（90s）。请断开官方 WARP / 检查 Tailscale DNS，或改用仅本地 SOCKS + HTTP/2。");
}

TEST(L10nNumbers, SystemProxyCoverageShowsBothPortsInOrder) {
    EXPECT_EQ(L10n::coverageSystemProxy(8118, 1080, en),
              "Full proxy · Web+HTTPS→:8118 · SOCKS→:1080");
    EXPECT_EQ(L10n::coverageSystemProxy(8118, 1080, zh),
              "完整代理 · Web+HTTPS→:8118 · SOCKS→:1080");
}

TEST(L10nNumbers, CompatSocksCoverageShowsPort) {
    EXPECT_EQ(L10n::coverageTunSocksCompat(40000, en), "compat SOCKS :40000 (via TUN)");
    EXPECT_EQ(L10n::coverageTunSocksCompat(40000, zh), "兼容 SOCKS :40000（出站走 TUN）");
}

// --- Texts inserted unchanged ----------------------------------------------------------------

TEST(L10nSubstitution, AppRulesModeNoticeQuotesModeTitle) {
    EXPECT_EQ(L10n::appRulesModeNotice("Local SOCKS", en),
              "Current mode 'Local SOCKS': Transparent per-app split requires 'Real TUN'; "
              "or click 🚀 to launch app with proxy");
    EXPECT_EQ(L10n::appRulesModeNotice("仅本地 SOCKS", zh),
              "当前为「仅本地 SOCKS」模式：系统级透明分流需开启「真全局 (TUN)」；"
              "当前模式可点 🚀 独立拉起代理应用");
}

TEST(L10nSubstitution, ErrorTextIsInsertedVerbatim) {
    // Format-like characters and line breaks must come through untouched.
    const std::string odd = "exit 1: %s {0} \"quoted\"\nsecond line";
    EXPECT_EQ(L10n::healIncomplete(odd, en), "Heal incomplete — will retry: " + odd);
    EXPECT_EQ(L10n::healFailed(odd, zh), "自愈失败，稍后重试 — " + odd);
    EXPECT_EQ(L10n::exitProbeFailed(odd, zh), "出口探测失败：" + odd);
    EXPECT_EQ(L10n::coverageProxyWriteFailed("", en), "System proxy write failed: ");
}

TEST(L10nSubstitution, BracketedErrorsCloseWithTheLanguagesParenthesis) {
    EXPECT_EQ(L10n::coverageTunSocksCompatFailed("port in use", en),
              "compat SOCKS not up (port in use)");
    EXPECT_EQ(L10n::coverageTunSocksCompatFailed("port in use", zh),
              "兼容 SOCKS 未启动（port in use）");
    EXPECT_EQ(L10n::tunProbeFailed("colo=none", en),
              "TUN up but direct probe not via WARP (colo=none). Go/OAuth may still fail.");
    EXPECT_EQ(L10n::tunProbeFailed("colo=none", zh),
              "TUN 已启动但直连探测未走 WARP（colo=none）。Go/OAuth 可能仍失败。");
}

TEST(L10nSubstitution, StartingSocksNamesTheTransport) {
    EXPECT_EQ(L10n::startingSocks(false, en), "Starting usque SOCKS (QUIC)…");
    EXPECT_EQ(L10n::startingSocks(true, en), "Starting usque SOCKS (HTTP/2)…");
    EXPECT_EQ(L10n::startingSocks(false, zh), "启动 usque SOCKS（QUIC）…");
    EXPECT_EQ(L10n::startingSocks(true, zh), "启动 usque SOCKS（HTTP/2）…");
}

// --- Real TUN coverage and its DNS fallback --------------------------------------------------

TEST(L10nRealTun, EmptyDnsModeShowsCloudflare) {
    EXPECT_EQ(L10n::coverageRealTun("", en),
              "Real TUN · cloudflare DNS · Tailscale/LAN excluded · DNS switchable live");
    EXPECT_EQ(L10n::coverageRealTun("", zh),
              "真全局 · cloudflare DNS · Tailscale/LAN 已排除 · DNS 可独立切换");
}

TEST(L10nRealTun, GivenDnsModeIsShownAsIs) {
    EXPECT_EQ(L10n::coverageRealTun("adguard", en),
              "Real TUN · adguard DNS · Tailscale/LAN excluded · DNS switchable live");
    EXPECT_EQ(L10n::coverageRealTun("off", zh),
              "真全局 · off DNS · Tailscale/LAN 已排除 · DNS 可独立切换");
}

// --- Conflict banner -------------------------------------------------------------------------

TEST(L10nConflictBanner, NoHintsGivesNoBannerRatherThanEmptyText) {
    EXPECT_EQ(L10n::conflictBanner({}, en), std::nullopt);
    EXPECT_EQ(L10n::conflictBanner({}, zh), std::nullopt);
}

TEST(L10nConflictBanner, SingleHintIsItsTextAlone) {
    EXPECT_EQ(L10n::conflictBanner({ConflictHint::tailscaleDNS}, zh),
              "Tailscale DNS · TUN 已排除 100.64/10（学 ClashX；官方 WARP 常冲突）");
}

TEST(L10nConflictBanner, HintsAreJoinedInOrderWithMiddleDot) {
    const std::vector<ConflictHint> hints{ConflictHint::officialWarpInstalled,
                                          ConflictHint::tailscaleRunning};
    EXPECT_EQ(L10n::conflictBanner(hints, en),
              "Official WARP installed · try HTTP/2 on failure · "
              "Tailscale OK with TUN · like ClashX; official WARP often conflicts");
    EXPECT_EQ(L10n::conflictBanner(hints, zh),
              "已安装官方 WARP · 失败时可试 HTTP/2 · "
              "Tailscale 可与 TUN 共存（学 ClashX）；官方 WARP 往往做不到");

    const std::vector<ConflictHint> reversed{ConflictHint::tailscaleRunning,
                                             ConflictHint::officialWarpInstalled};
    EXPECT_EQ(L10n::conflictBanner(reversed, en),
              "Tailscale OK with TUN · like ClashX; official WARP often conflicts · "
              "Official WARP installed · try HTTP/2 on failure");
}

}  // namespace
}  // namespace nimbra
