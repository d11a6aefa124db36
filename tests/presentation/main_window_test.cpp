// The main window's rules over the controller's snapshot, one table each.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "l10n/l10n.hpp"
#include "presentation/china_source.hpp"
#include "presentation/detail_line.hpp"
#include "presentation/exclude_entry.hpp"
#include "presentation/gateway_panel.hpp"
#include "presentation/latency.hpp"
#include "presentation/mode_selector_note.hpp"
#include "presentation/navigation_rows.hpp"
#include "presentation/overview_panel.hpp"
#include "presentation/proxy_hint.hpp"
#include "presentation/status_card.hpp"
#include "presentation/theme_description.hpp"

namespace nimbra::presentation {
namespace {

using enum WarpPhase;
using enum ColorRole;
using enum NAT64Gateway;
using Change = std::function<void(ControllerSnapshot&)>;
const AppLanguage kEn = AppLanguage::english;
const AppLanguage kZh = AppLanguage::chinese;
const std::string kDirect = rawValue(direct);
const std::string kFremont = rawValue(usFremont);

TEST(MainWindow, PhaseGivesColourMotionAndButton) {
    // phase, official WARP blocking, colour, rings move, button enabled
    for (const auto& [phase, blocking, colour, moves, enabled] :
         std::vector<std::tuple<WarpPhase, bool, ColorRole, bool, bool>>{
             {disconnected, false, text, false, true},
             {disconnected, true, amber, false, true},
             {preparing, false, amber, true, true},
             {connected, true, emerald, true, true},
             {reconnecting, false, amber, true, true},
             {stopping, false, amber, true, false},
             {error, true, coral, false, true},
         }) {
        ControllerSnapshot snapshot;
        snapshot.phase = phase, snapshot.conflictBlocking = blocking;
        SCOPED_TRACE(std::string(rawValue(phase)) + (blocking ? " blocked" : ""));
        EXPECT_EQ(statusColor(snapshot), colour);
        EXPECT_EQ(statusRingMoves(phase), moves);
        EXPECT_EQ(connectButtonEnabled(snapshot), enabled);
    }
}

// The first rule that applies wins; figures (an address, "warp=", a colon) set the line in the
// figure font. The exit is 203.0.113.9 in SJC/sjc with WARP off unless a row says otherwise.
TEST(MainWindow, DetailLineTakesTheFirstApplyingRule) {
    const std::string longError = "Exit probe failed: connection reset by peer";
    const std::string exit = "203.0.113.9 · SJC/sjc · warp=";
    const Change noExit = [](auto& s) { s.exitIp = s.exitLoc = s.exitColo = s.exitWarp = "—"; };
    // Up to 40 characters show whole, counted after trimming and by character, not by byte.
    const std::string a40(40, 'a');
    auto chinese = [](int n) {
        std::string text;
        while (n-- > 0) text += "断";
        return text;
    };
    for (const auto& [change, language, expected, figures] :
         std::vector<std::tuple<Change, AppLanguage, std::string, bool>>{
             // A cancel's teardown still counts as connecting: it cleans up all the same.
             {[](auto& s) { s.phase = stopping, s.connecting = true; }, kEn, "Cleaning up…", 0},
             {[](auto& s) { s.phase = startingEngine; }, kZh, "正在建立隧道…", 0},
             {[](auto& s) { s.connecting = s.exitProbing = true; }, kEn, "Establishing tunnel…", 0},
             {[](auto& s) { s.phase = reconnecting, s.detail = " Switching gateway…\n"; }, kEn,
              "Switching gateway…", 0},
             {[](auto& s) { s.phase = reconnecting, s.detail = " ", s.exitProbing = true; }, kZh,
              "查询出口…", 0},
             {[&](auto& s) { s.phase = error, s.detail = longError; }, kEn,
              longError.substr(0, 38) + "…", 1},
             {[&](auto& s) { s.phase = error, s.detail = " \n" + a40 + "\r\n"; }, kEn, a40, 0},
             {[&](auto& s) { s.phase = error, s.detail = chinese(40); }, kZh, chinese(40), 0},
             {[&](auto& s) { s.phase = error, s.detail = chinese(41); }, kZh, chinese(38) + "…", 0},
             // The start-up ready text falls through, in either language.
             {[](auto& s) { s.phase = error, s.detail = "就绪"; }, kZh, exit + "off", 1},
             {[](auto& s) { s.exitWarp = "on"; }, kZh, "当前出口经官方 WARP", 0},
             {[](auto& s) { s.exitWarp = "on", s.exitViaTunnel = true; }, kEn, exit + "on", 1},
             {[](auto& s) { s.phase = connected, s.exitWarp = "on"; }, kEn, exit + "on", 1},
             {[&](auto& s) { noExit(s), s.phase = connected; }, kEn, "Tunnel ready", 0},
             {noExit, kZh, "准备连接", 0},
         }) {
        ControllerSnapshot snapshot;
        snapshot.exitIp = "203.0.113.9", snapshot.exitLoc = "SJC", snapshot.exitColo = "sjc";
        snapshot.exitWarp = "off";
        change(snapshot);
        snapshot.ready = snapshot.detail == "就绪" || snapshot.detail == "Ready";
        const std::string line = detailLine(snapshot, language);
        EXPECT_EQ(line, expected);
        EXPECT_EQ(detailInFigureFont(line), figures) << line;
    }
}

// Shown only while no connection is up or starting: the controller's words trimmed, else the
// plain request when official WARP blocks; never an empty banner.
TEST(MainWindow, ConflictBannerShowsAtRestWithItsWordsOrTheFallback) {
    const std::string hint = "Tailscale DNS may intercept lookups";
    // phase, connecting, banner, blocking, language, text shown
    for (const auto& [phase, connecting, banner, blocking, language, expected] :
         std::vector<std::tuple<WarpPhase, bool, std::string, bool, AppLanguage,
                                std::optional<std::string>>>{
             {disconnected, false, "  " + hint + "\n", false, kEn, hint},
             {stopping, false, hint, true, kEn, hint},
             {error, false, " \n", true, kZh, "请先断开官方 WARP"},
             {disconnected, false, "", true, kEn, "Disconnect official WARP first"},
             {disconnected, false, " ", false, kEn, std::nullopt},
             {disconnected, true, hint, false, kEn, std::nullopt},
             {reconnecting, false, hint, true, kEn, std::nullopt},
         }) {
        ControllerSnapshot snapshot;
        snapshot.phase = phase, snapshot.connecting = connecting;
        snapshot.conflictBanner = banner, snapshot.conflictBlocking = blocking;
        EXPECT_EQ(conflictBannerText(snapshot, language), expected) << rawValue(phase) << banner;
    }
}

// A timed-out probe (0 or below) never reads as "0 ms"; the colour steps at 120, 250 and 450.
TEST(MainWindow, LatencyTextAndColourByMeasurement) {
    // round trip, measuring, language, card text, navigation text, colour
    for (const auto& [ms, probing, language, card, compact, colour] :
         std::vector<std::tuple<std::optional<int>, bool, AppLanguage, std::string, std::string,
                                ColorRole>>{
             {std::nullopt, false, kEn, "—", "—", textMuted},
             {-1, false, kEn, "Unreachable", ">5s (Slow)", coral},
             {0, false, kZh, "不可达", ">5000ms 慢", coral},
             {119, false, kEn, "119 ms", "119ms", emerald},
             {120, false, kEn, "120 ms", "120ms", accent},
             {250, false, kEn, "250 ms", "250ms", amber},
             {450, true, kZh, "测速中…", "450ms", coral},
         }) {
        EXPECT_EQ(latencyText(ms, probing, language), card);
        EXPECT_EQ(compactLatencyText(ms, language), compact);
        EXPECT_EQ(latencyColor(ms), colour) << compact;
    }
}

// "Fastest" needs a gateway that answered; "Test All" is not pressed twice; a live switch shows;
// the badge is on the chosen card alone; a card being measured is not coloured by its old figure.
TEST(MainWindow, GatewayPanelFollowsTheMeasurement) {
    // probes, measuring, switching, chosen, language, fastest enabled, test button
    for (const auto& [probes, probing, switching, chosen, language, fastest, test] :
         std::vector<std::tuple<std::map<std::string, int>, bool, bool, NAT64Gateway, AppLanguage,
                                bool, std::string>>{
             {{}, false, false, direct, kEn, false, "Test All"},
             {{{kDirect, -1}, {kFremont, 0}}, false, false, usFremont, kEn, false, "Test All"},
             {{{kDirect, 40}, {kFremont, -1}}, true, false, direct, kZh, true, "测速中…"},
             {{{kFremont, 90}}, false, true, usFremont, kEn, true, "Test All"},
         }) {
        ControllerSnapshot snapshot;
        snapshot.exitProbes = probes, snapshot.exitLatencyProbing = probing;
        snapshot.switchingGateway = switching, snapshot.nat64Gateway = chosen;
        const GatewayPanelHeader header = gatewayPanelHeader(snapshot, language);
        EXPECT_EQ(header.fastestEnabled, fastest);
        EXPECT_EQ(header.testButton, test);
        EXPECT_EQ(header.testEnabled, !probing);
        EXPECT_EQ(header.switchingNote.empty(), !switching);
        for (const GatewayCard& card : gatewayCards(snapshot, language)) {
            EXPECT_EQ(card.selected, card.gateway == chosen);
            EXPECT_EQ(card.badge.empty(), !card.selected);
            EXPECT_TRUE(!probing || card.latencyColor == textMuted);
        }
    }
}

// LIVE and the speeds while connected; the exit row is the chosen gateway with its latency.
TEST(MainWindow, NavigationRowsFollowTheConnection) {
    for (const auto& [phase, gateway, language, overview, latency] :
         std::vector<std::tuple<WarpPhase, NAT64Gateway, AppLanguage, std::string, std::string>>{
             {connected, direct, kEn, "↓ 1.5 KB/s  ↑ 512 B/s", "40ms"},
             {reconnecting, usFremont, kZh, "↓ 1.5 KB/s  ↑ 512 B/s", ">5000ms 慢"},
             {stopping, direct, kEn, "Waveform & Diagnostics", "40ms"},
         }) {
        ControllerSnapshot snapshot;
        snapshot.phase = phase, snapshot.nat64Gateway = gateway;
        snapshot.exitProbes = {{kDirect, 40}, {kFremont, -1}};
        snapshot.traffic.downSpeed = 1536, snapshot.traffic.upSpeed = 512;
        const auto rows = navigationRows(snapshot, 3, language);
        ASSERT_EQ(rows.size(), 4u);
        EXPECT_EQ(rows[0].subtitle, overview);
        EXPECT_EQ(rows[0].live, snapshot.isConnected());
        EXPECT_EQ(rows[1].title, title(gateway, language));
        EXPECT_EQ(rows[1].trailing, latency);
        EXPECT_EQ(rows[2].subtitle, L10n::appRulesCount(3, language));
    }
}

// A mode or transport waits for the next connect; a split or gateway is applied live; nothing
// is pending while no connection is up, nor for a split the running mode does not route.
TEST(MainWindow, ModeSelectorNoteComparesWithTheRunningConnection) {
    using enum ChoiceTiming;
    const auto autoSplit = SplitTunnelMode::autoSplit;
    for (const auto& [change, language, timing, note] :
         std::vector<std::tuple<Change, AppLanguage, ChoiceTiming, std::string>>{
             {[](auto& s) { s = {}, s.connectionMode = ConnectionMode::realTun; }, kEn, inEffect,
              ""},
             {[](auto&) {}, kEn, inEffect, ""},
             {[](auto& s) { s.connectionMode = ConnectionMode::realTun; }, kEn, nextConnect,
              "Applies at next connect"},
             {[&](auto& s) { s.http2 = true, s.splitTunnelMode = autoSplit; }, kZh, nextConnect,
              "下次连接时生效"},
             {[&](auto& s) { s.splitTunnelMode = autoSplit; }, kEn, applyingNow,
              "Applying to this connection…"},
             {[](auto& s) { s.nat64Gateway = usFremont; }, kZh, applyingNow, "正在应用到当前连接…"},
             {[&](auto& s) { s.runningSplit.reset(), s.splitTunnelMode = autoSplit; }, kEn,
              inEffect, ""},
         }) {
        ControllerSnapshot snapshot;
        snapshot.runningMode = snapshot.connectionMode = ConnectionMode::globalTun;
        snapshot.runningHttp2 = false, snapshot.runningSplit = SplitTunnelMode::full;
        snapshot.runningGateway = direct;
        change(snapshot);
        EXPECT_EQ(choiceTiming(snapshot), timing) << note;
        EXPECT_EQ(modeSelectorNote(snapshot, language), note);
    }
}

// Linux names its own TUN interface and no macOS; macOS keeps its words.
TEST(MainWindow, ProxyHintAndSystemWordsComeFromThePlatform) {
    const PlatformProfile linux = PlatformProfile::forLinux(), macos = PlatformProfile::forMacos();
    for (const auto& [mode, tunIface, profile, hint] :
         std::vector<std::tuple<ConnectionMode, std::string, PlatformProfile, std::string>>{
             {ConnectionMode::socks, "", linux, "socks5h://127.0.0.1:19999"},
             {ConnectionMode::globalTun, "", macos, "HTTP :19998 · SOCKS :19999"},
             {ConnectionMode::realTun, "nimbra1", linux, "TUN · SOCKS :19999 via nimbra1"},
             {ConnectionMode::realTun, "", linux, "TUN · SOCKS :19999 via nimbra0"},
             {ConnectionMode::realTun, "utun5", macos, "TUN · SOCKS :19999 via utun"},
         }) {
        ControllerSnapshot snapshot;
        snapshot.connectionMode = mode, snapshot.tunIface = tunIface;
        EXPECT_EQ(proxyHint(snapshot, 19998, 19999, profile), hint);
    }
    EXPECT_EQ(themeDescription(AppTheme::system, linux, kEn), "Follow the system appearance");
    EXPECT_EQ(themeDescription(AppTheme::system, linux, kZh), "根据系统设置自适应切换");
    EXPECT_EQ(themeDescription(AppTheme::system, macos, kZh), "根据 macOS 系统设置自适应切换");
}

// The running connection's transport and mode win over the choices made since; the clock stands
// at "00:00" while the monitor is idle.
TEST(MainWindow, OverviewFiguresDescribeTheRunningConnection) {
    for (const auto& [change, warp, protocol, time, tunRow, v6] :
         std::vector<std::tuple<Change, std::string, std::string, std::string, bool, bool>>{
             {[](auto&) {}, "warp=off", "MASQUE (QUIC)", "00:00", false, false},
             {[](auto& s) {
                  s.http2 = true, s.connectionMode = ConnectionMode::realTun;
                  s.exitIp = "2606:4700:110:8a36::1";
              },
              "warp=off", "MASQUE (HTTP/2)", "00:00", true, true},
             {[](auto& s) {
                  s.exitWarp = "on", s.http2 = true, s.runningHttp2 = false;
                  s.runningMode = ConnectionMode::socks, s.connectionMode = ConnectionMode::realTun;
                  s.traffic.isMonitoring = true, s.traffic.uptimeSeconds = 61;
              },
              "warp=on (Connected)", "MASQUE (QUIC)", "01:01", false, false},
         }) {
        ControllerSnapshot snapshot;
        snapshot.exitWarp = "off", snapshot.exitIp = "104.28.1.1",
        snapshot.traffic.uptimeSeconds = 5;
        change(snapshot);
        EXPECT_EQ(overviewFigures(snapshot), (OverviewFigures{warp, protocol, time, tunRow, v6}));
    }
}

// A draft of blanks adds nothing; a daemon known not to answer disables "Add", one not yet
// asked does not.
TEST(MainWindow, ExcludeAddNeedsADraftAndNoSilentDaemon) {
    for (const auto& [draft, reachable, enabled] :
         std::vector<std::tuple<std::string, std::optional<bool>, bool>>{
             {"10.0.0.0/8", std::nullopt, true},
             {" example.com ", true, true},
             {" \t", true, false},
             {"10.0.0.0/8", false, false},
         }) {
        ControllerSnapshot snapshot;
        snapshot.daemonReachable = reachable;
        EXPECT_EQ(excludeAddEnabled(draft, snapshot), enabled) << draft;
    }
}

// The data's own date comes from Debian's version, never from the file or the edition line.
TEST(MainWindow, ChinaSourceSaysWhoseDataAndHowOld) {
    const std::string loaded =
        "8123 IPv4 networks from /usr/share/GeoIP/GeoIP.dat (GEO-106FREE 20230203 Build 1, file "
        "of 2023-02-03); 1456 IPv6 networks from /usr/share/GeoIP/GeoIPv6.dat (GEO-106FREE)";
    for (const auto& [source, language, line] :
         std::vector<std::tuple<std::string, AppLanguage, std::string>>{
             {loaded + "; package geoip-database 20230203+really20191224-0+deb12u1", kEn,
              "Country data: Debian geoip-database of 2019-12-24 (package "
              "20230203+really20191224-0+deb12u1); 8123 IPv4 and 1456 IPv6 networks"},
             {loaded + "; package geoip-database 20191224-3", kZh,
              "国家数据：Debian geoip-database，数据日期 2019-12-24（软件包 20191224-3）"
              "；IPv4 网段 8123 个，IPv6 网段 1456 个"},
             {loaded, kEn,
              "Country data: GeoIP database, age unknown; 8123 IPv4 and 1456 IPv6 networks"},
             {"China-direct unavailable: cannot open /usr/share/GeoIP/GeoIP.dat", kZh,
              "国家数据不可用：cannot open /usr/share/GeoIP/GeoIP.dat"},
             {" ", kEn, ""},
         }) {
        EXPECT_EQ(chinaSourceLine(source, language), line) << source;
    }
}

// Said at rest, before Connect fails; nothing while usque is found or not yet looked for.
TEST(MainWindow, UsqueMissingNoticeNamesTheFetchScript) {
    for (const auto& [found, language, notice] :
         std::vector<std::tuple<bool, AppLanguage, std::string>>{
             {false, kEn, "usque was not found: run scripts/fetch-usque to get it, then connect."},
             {false, kZh, "未找到 usque：请运行 scripts/fetch-usque 获取后再连接。"},
             {true, kEn, ""},
         }) {
        ControllerSnapshot snapshot;
        snapshot.usqueFound = found;
        EXPECT_EQ(usqueMissingNotice(snapshot, "scripts/fetch-usque", language), notice);
    }
}

}  // namespace
}  // namespace nimbra::presentation
