#include "l10n/l10n.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "l10n/app_rules_texts.hpp"

namespace nimbra {
namespace {

// An argument that must come through untouched: format-like characters and a line break. The
// table writes it as {kOdd}.
const std::string kOdd = "exit 1: %s {0} \"q\"\nline two";

using Render = std::function<std::string(AppLanguage)>;

// Every text by the call that renders it, as the table names it.
std::map<std::string, Render> everyText() {
    // clang-format off
#define TEXT(call) {#call, [](AppLanguage l) { return L10n::call; }}
    std::map<std::string, Render> texts{
        TEXT(ready(l)), TEXT(checkingUsque(l)), TEXT(disconnecting(l)), TEXT(cancelling(l)),
        TEXT(disconnected(l)), TEXT(cancelled(l)), TEXT(usqueNotFound(kOdd, l)),
        TEXT(trayShowWindow(l)), TEXT(trayQuit(l)), TEXT(trayAppRules(l)),
        TEXT(trayRecheckConflicts(l)), TEXT(trayLanguageMenu(l)), TEXT(trayThemeMenu(l)),
        TEXT(trayEstablishingTunnel(l)), TEXT(trayCleaningUp(l)), TEXT(trayDisconnectOfficialWarp(l)), TEXT(notifyConnectFailed(l)), TEXT(notifyHealFailed(l)), TEXT(notifyKeepsRunning(l)), TEXT(appRulesModeNotice(kOdd, l)),
        TEXT(launchFailed(kOdd, l)), TEXT(appRulesCount(1, l)), TEXT(tunnelRecovered(l)),
        TEXT(appRulesCount(12345678901LL, l)), TEXT(selfHealing(l)), TEXT(switchingGateway(l)),
        TEXT(exitProbeRetrying(2, 10, l)), TEXT(healIncomplete(kOdd, l)), TEXT(healFailed(kOdd, l)),
        TEXT(exitProbeFailed(kOdd, l)), TEXT(connectedVia("SJC", "sjc", "on", l)),
        TEXT(systemExit("SJC", "sjc", "off", l)), TEXT(tunnelAnomaly("SJC", "sjc", "off", l)),
        TEXT(connectedButExitProbeFailed(l)), TEXT(networkError(l)), TEXT(startingSocks(false, l)),
        TEXT(startingSocks(true, l)), TEXT(probingExit(l)), TEXT(retryingAfterProbe(l)),
        TEXT(retryingAfterStart(l)), TEXT(startingHttpGateway(l)), TEXT(applyingSystemProxy(l)),
        TEXT(tunnelNotViaWarp("SJC", "sjc", "off", kOdd, l)), TEXT(warpExitProbeFailed(l)),
        TEXT(coverageAutoSplit(l)), TEXT(coverageSystemProxy(8118, 1080, l)),
        TEXT(coverageProxyWriteFailed(kOdd, l)), TEXT(coverageRealTun("adguard", l)),
        TEXT(coverageRealTun("", l)), TEXT(coverageTunSocksCompat(40000, l)),
        TEXT(coverageTunSocksCompatFailed(kOdd, l)), TEXT(checkingUsqueConfig(l)),
        TEXT(startingRealTun(l)), TEXT(installingDaemon(l)), TEXT(retryingRealTunOnHttp2(l)),
        TEXT(verifyingRealTun(l)), TEXT(tunProbeFailed(kOdd, l)), TEXT(connectTimedOut(90, l)),
        TEXT(conflictBanner({ConflictHint::disconnectOfficialWarp}, l).value()),
        TEXT(conflictBanner({ConflictHint::officialWarpInstalled}, l).value()),
        TEXT(conflictBanner({ConflictHint::tailscaleDNS}, l).value()),
        TEXT(conflictBanner({ConflictHint::tailscaleRunning,
                             ConflictHint::officialWarpInstalled}, l).value()),
        TEXT(appRuleDisabledBadge(l)), TEXT(appTrafficNow(true, l)), TEXT(appTrafficNow(false, l)),
        TEXT(appRoutingLive(l)), TEXT(appRulesTabLabel(AppRulesTab::running, 3, l)),
        TEXT(appRulesTabLabel(AppRulesTab::configured, 0, l)),
        TEXT(appRulesTabLabel(AppRulesTab::all, 9, l)), TEXT(noRunningApps(l)),
        TEXT(noAppRulesYet(l)), TEXT(scanningInstalledApps(l)), TEXT(installedAppsNotScanned(l)),
        TEXT(setToProxy(l)), TEXT(setToDirect(l)), TEXT(launchWithProxy(l)), TEXT(removeAppRule(l)),
        TEXT(appRuleSet(kOdd, AppRuleTarget::proxy, l)),
        TEXT(appRuleUpdated(kOdd, AppRuleTarget::direct, l)), TEXT(appRuleRemoved(kOdd, l)),
        TEXT(appLaunched(kOdd, l)), TEXT(cannotProxyByLaunching(kOdd, l)),
    };
#undef TEXT
    for (const auto& row : kWarpPhases) {
        const std::string phase(row.raw);
        texts["status(" + phase + ")"] =
            [p = row.value](AppLanguage l) { return L10n::status(p, l); };
    }
    for (const auto& row : kDaemonDNSModeOptions)
        texts["dnsModeTitle(" + std::string(row.raw) + ")"] =
            [m = row.value](AppLanguage l) { return L10n::dnsModeTitle(m, l); };
    // The panel's captions with the Linux words; macOS keeps its own (AppRulesPanel's test).
    for (const auto& [key, english] :
         L10n::appRulesCaptions(PlatformProfile::forLinux(), AppLanguage::english)) {
        texts["appRulesCaptions(" + key + ")"] = [key = key](AppLanguage l) {
            for (const auto& [k, text] : L10n::appRulesCaptions(PlatformProfile::forLinux(), l))
                if (k == key) return text;
            return std::string();
        };
    }
    // clang-format on
    return texts;
}

std::string withArgument(std::string text) {
    for (size_t at = 0; (at = text.find("{kOdd}", at)) != std::string::npos; at += kOdd.size())
        text.replace(at, 6, kOdd);
    return text;
}

// One row per text in l10n_texts.tsv: the call, then English and Chinese separated by tabs.
TEST(L10n, EveryTextReadsAsTabledInBothLanguagesWithItsArgumentsUnchanged) {
    std::map<std::string, Render> texts = everyText();
    std::ifstream table(std::string(NIMBRA_SOURCE_DIR) + "/tests/l10n/l10n_texts.tsv");
    ASSERT_TRUE(table);
    for (std::string row; std::getline(table, row);) {
        const size_t tab = row.find('\t'), secondTab = row.find('\t', tab + 1);
        auto text = texts.extract(row.substr(0, tab));
        if (text.empty() || secondTab == std::string::npos) {
            ADD_FAILURE() << "no such text: " << row;
            continue;
        }
        EXPECT_EQ(text.mapped()(AppLanguage::english),
                  withArgument(row.substr(tab + 1, secondTab - tab - 1)))
            << text.key();
        EXPECT_EQ(text.mapped()(AppLanguage::chinese), withArgument(row.substr(secondTab + 1)))
            << text.key();
    }
    for (const auto& [call, render] : texts) ADD_FAILURE() << "not in the table: " << call;
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

TEST(L10n, NoHintsGiveNoBannerRatherThanAnEmptyOne) {
    EXPECT_EQ(L10n::conflictBanner({}, AppLanguage::chinese), std::nullopt);
}

}  // namespace
}  // namespace nimbra
