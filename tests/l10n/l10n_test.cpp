#include "l10n/l10n.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace nimbra {
namespace {

// An argument that must come through untouched: format-like characters and a line break.
const std::string kOdd = "exit 1: %s {0} \"q\"\nline two";

// One row per text: the call, with `l` for its language, and what it must contain in either.
struct Text {
    std::string call;
    std::function<std::string(AppLanguage)> render;
    std::vector<std::string> inserted = {};
};
// clang-format off
#define TEXT(call, ...) Text{#call, [](AppLanguage l) { return L10n::call; }, {__VA_ARGS__}}
// clang-format on

std::vector<Text> everyText() {
    std::vector<Text> texts{
        TEXT(dnsModeTitle(DaemonDNSModeOption::custom, l)),
        TEXT(appRulesModeNotice(kOdd, l), kOdd),
        TEXT(launchFailed(kOdd, l), kOdd),
        TEXT(appRulesCount(12345678901LL, l), "12345678901"),
        TEXT(exitProbeRetrying(2, 10, l), "2/10"),
        TEXT(healIncomplete(kOdd, l), kOdd),
        TEXT(healFailed(kOdd, l), kOdd),
        TEXT(exitProbeFailed(kOdd, l), kOdd),
        TEXT(startingSocks(false, l), "usque SOCKS", "QUIC"),
        TEXT(startingSocks(true, l), "usque SOCKS", "HTTP/2"),
        TEXT(coverageSystemProxy(8118, 1080, l), ":8118 · SOCKS→:1080"),
        TEXT(coverageProxyWriteFailed(kOdd, l), kOdd),
        TEXT(coverageRealTun("adguard", l), "adguard DNS"),
        TEXT(coverageRealTun("", l), "cloudflare DNS"),
        TEXT(coverageTunSocksCompat(40000, l), ":40000"),
        TEXT(coverageTunSocksCompatFailed(kOdd, l), kOdd),
        TEXT(tunProbeFailed(kOdd, l), kOdd),
        TEXT(connectTimedOut(90, l), "90s"),
        TEXT(usqueNotFound("scripts/fetch-usque", l), "scripts/fetch-usque"),
        TEXT(connectedVia("SJC", "sjc", "on", l), "SJC/sjc · WARP on"),
        TEXT(systemExit("SJC", "sjc", "off", l), "SJC/sjc · WARP off"),
        TEXT(tunnelAnomaly("SJC", "sjc", "off", l), "loc=SJC colo=sjc warp=off"),
    };
    for (auto text : {&L10n::ready, &L10n::checkingUsque, &L10n::disconnecting, &L10n::cancelling,
                      &L10n::disconnected, &L10n::cancelled, &L10n::trayShowWindow, &L10n::trayQuit,
                      &L10n::connectedButExitProbeFailed, &L10n::networkError})
        texts.push_back({"a one-line text", text});
    for (const auto& row : kWarpPhases) {
        texts.push_back({"status", [p = row.value](AppLanguage l) { return L10n::status(p, l); }});
        texts.push_back({"connectButton",
                         [p = row.value](AppLanguage l) { return L10n::connectButton(p, l); }});
    }
    for (ConflictHint hint :
         {ConflictHint::disconnectOfficialWarp, ConflictHint::officialWarpInstalled,
          ConflictHint::tailscaleDNS, ConflictHint::tailscaleRunning}) {
        texts.push_back(
            {"conflictBanner", [hint](AppLanguage l) { return *L10n::conflictBanner({hint}, l); }});
    }
    return texts;
}

TEST(L10n, EveryTextExistsInBothLanguagesWithItsArgumentsInserted) {
    for (const Text& text : everyText()) {
        const std::string english = text.render(AppLanguage::english),
                          chinese = text.render(AppLanguage::chinese);
        EXPECT_FALSE(english.empty() || chinese.empty()) << text.call;
        EXPECT_NE(english, chinese) << text.call;
        for (const std::string& argument : text.inserted) {
            EXPECT_NE(english.find(argument), std::string::npos) << text.call << ": " << english;
            EXPECT_NE(chinese.find(argument), std::string::npos) << text.call << ": " << chinese;
        }
    }
}

TEST(L10n, OnlyRestingStatusTextsAreReShownInTheNewLanguage) {
    for (auto text : {&L10n::ready, &L10n::disconnected, &L10n::cancelled}) {
        for (AppLanguage from : kAllAppLanguages) {
            for (AppLanguage to : kAllAppLanguages)
                EXPECT_EQ(L10n::restingTextIn(text(from), to), text(to));
        }
    }
    for (const std::string& busy :
         {L10n::disconnecting(AppLanguage::chinese), std::string("Ready ")})
        EXPECT_EQ(L10n::restingTextIn(busy, AppLanguage::english), std::nullopt) << busy;
}

// The status and button texts of every phase, word for word in both languages.
TEST(L10n, EachPhaseHasItsExactStatusAndButton) {
    const std::tuple<WarpPhase, std::string, std::string> cases[] = {
        {WarpPhase::disconnected, "Disconnected / Connect", "未连接 / 连接"},
        {WarpPhase::preparing, "Connecting / Cancel", "连接中 / 取消"},
        {WarpPhase::startingEngine, "Connecting / Cancel", "连接中 / 取消"},
        {WarpPhase::connected, "Connected / Disconnect", "已连接 / 断开"},
        {WarpPhase::reconnecting, "Reconnecting / Disconnect", "重连中 / 断开"},
        {WarpPhase::stopping, "Disconnecting / Disconnecting…", "断开中 / 断开中…"},
        {WarpPhase::error, "Error / Connect", "出错 / 连接"},
    };
    const auto texts = [](WarpPhase phase, AppLanguage language) {
        return L10n::status(phase, language) + " / " + L10n::connectButton(phase, language);
    };
    for (const auto& [phase, english, chinese] : cases) {
        EXPECT_EQ(texts(phase, AppLanguage::english), english);
        EXPECT_EQ(texts(phase, AppLanguage::chinese), chinese);
    }
}

TEST(L10n, BannerHintsKeepTheirOrder) {
    // Hints are joined in the order given; no hints give no banner rather than an empty one.
    EXPECT_EQ(L10n::conflictBanner({}, AppLanguage::chinese), std::nullopt);
    EXPECT_EQ(
        L10n::conflictBanner({ConflictHint::tailscaleRunning, ConflictHint::officialWarpInstalled},
                             AppLanguage::english),
        "Tailscale OK with TUN · like ClashX; official WARP often conflicts · "
        "Official WARP installed · try HTTP/2 on failure");
}

}  // namespace
}  // namespace nimbra
