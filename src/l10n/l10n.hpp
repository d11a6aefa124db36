#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/app_language.hpp"
#include "model/conflict_hint.hpp"
#include "model/daemon_dns_mode_option.hpp"
#include "model/warp_phase.hpp"

// Every sentence the controller shows to the user. Pure functions: the language is always the
// last argument, Chinese only when asked for and English otherwise. Arguments named like a
// message or an error are inserted unchanged.
namespace nimbra::L10n {

// The phase label of the status pill.
std::string status(WarpPhase phase, AppLanguage language);

// The one-line status texts the connection itself moves through.
std::string ready(AppLanguage language);
std::string checkingUsque(AppLanguage language);
std::string disconnecting(AppLanguage language);
std::string cancelling(AppLanguage language);
std::string disconnected(AppLanguage language);
std::string cancelled(AppLanguage language);
// A status text shown while nothing runs is re-shown in the new language when it changes;
// nothing when `text` is none of those (in either language).
std::optional<std::string> restingTextIn(std::string_view text, AppLanguage language);

// Shown in place of usque's path when it cannot be found, naming the script that fetches it.
std::string usqueNotFound(std::string_view fetchScript, AppLanguage language);

// The titles of the main window's button and of the tray's toggle item, from the phase and
// whether a connect is under way (which can outlast its phases: a cancel's teardown still
// counts), so a press reads as what toggle() will do. Only the window says "Please wait…"
// while stopping; the tray greys its item instead.
std::string connectButtonTitle(WarpPhase phase, bool connecting, AppLanguage language);
std::string trayToggleTitle(WarpPhase phase, bool connecting, AppLanguage language);
std::string trayShowWindow(AppLanguage language);
std::string trayAppRules(AppLanguage language);
std::string trayRecheckConflicts(AppLanguage language);
std::string trayLanguageMenu(AppLanguage language);
std::string trayThemeMenu(AppLanguage language);
std::string trayQuit(AppLanguage language);
// The tray's line under its status while a connect or a teardown runs, or while official WARP
// keeps the tunnel from starting.
std::string trayEstablishingTunnel(AppLanguage language);
std::string trayCleaningUp(AppLanguage language);
std::string trayDisconnectOfficialWarp(AppLanguage language);
// Desktop notifications, sent while the window is hidden: the titles over a failed connect's or
// heal's own message, and the one-time hint when the window is closed with no tray to come back by.
std::string notifyConnectFailed(AppLanguage language);
std::string notifyHealFailed(AppLanguage language);
std::string notifyKeepsRunning(AppLanguage language);

// The short name of a DNS mode, as used in the mode picker and the coverage line.
std::string dnsModeTitle(DaemonDNSModeOption mode, AppLanguage language);

// Shown in the per-app rules panel when the current mode cannot split traffic by application.
std::string appRulesModeNotice(std::string_view modeTitle, AppLanguage language);

std::string launchFailed(std::string_view error, AppLanguage language);

// Deliberately without a singular form: 1 gives "1 rules".
std::string appRulesCount(long long count, AppLanguage language);

// The hint texts joined with " · "; nothing at all (not an empty text) when there are no hints.
std::optional<std::string> conflictBanner(const std::vector<ConflictHint>& hints,
                                          AppLanguage language);

// The health monitor's and the gateway switch's texts.
std::string tunnelRecovered(AppLanguage language);
std::string selfHealing(AppLanguage language);
std::string switchingGateway(AppLanguage language);
std::string exitProbeRetrying(int current, int threshold, AppLanguage language);
std::string healIncomplete(std::string_view error, AppLanguage language);
std::string healFailed(std::string_view error, AppLanguage language);
std::string exitProbeFailed(std::string_view error, AppLanguage language);

// What the status line says about the exit once a trace came back: through the tunnel, directly,
// or through a tunnel that reported WARP off.
std::string connectedVia(std::string_view loc, std::string_view colo, std::string_view warp,
                         AppLanguage language);
std::string systemExit(std::string_view loc, std::string_view colo, std::string_view warp,
                       AppLanguage language);
std::string tunnelAnomaly(std::string_view loc, std::string_view colo, std::string_view warp,
                          AppLanguage language);
std::string connectedButExitProbeFailed(AppLanguage language);
// Stands in for a failed probe that gave no reason.
std::string networkError(AppLanguage language);

// Progress text while the SOCKS engine comes up, over HTTP/2 or QUIC.
std::string startingSocks(bool http2, AppLanguage language);

// The steps of a connect attempt after the engine start, and its retries on HTTP/2.
std::string probingExit(AppLanguage language);
std::string retryingAfterProbe(AppLanguage language);
std::string retryingAfterStart(AppLanguage language);
std::string startingHttpGateway(AppLanguage language);
std::string applyingSystemProxy(AppLanguage language);
// Why a connect failed its exit probe: a trace that did not come through WARP, or none at all.
std::string tunnelNotViaWarp(std::string_view loc, std::string_view colo, std::string_view warp,
                             std::string_view ip, AppLanguage language);
std::string warpExitProbeFailed(AppLanguage language);
// The coverage line under the status, one per way the traffic is captured.
std::string coverageAutoSplit(AppLanguage language);
std::string coverageSystemProxy(int httpPort, int socksPort, AppLanguage language);
std::string coverageProxyWriteFailed(std::string_view error, AppLanguage language);
// An empty DNS mode is shown as "cloudflare", the daemon's default.
std::string coverageRealTun(std::string_view dnsMode, AppLanguage language);
std::string coverageTunSocksCompat(int port, AppLanguage language);
std::string coverageTunSocksCompatFailed(std::string_view error, AppLanguage language);

// The steps of a real TUN connect, which nimbrad carries.
std::string checkingUsqueConfig(AppLanguage language);
std::string startingRealTun(AppLanguage language);
std::string installingDaemon(AppLanguage language);
std::string retryingRealTunOnHttp2(AppLanguage language);
std::string verifyingRealTun(AppLanguage language);
std::string tunProbeFailed(std::string_view detail, AppLanguage language);
std::string connectTimedOut(int seconds, AppLanguage language);

}  // namespace nimbra::L10n
