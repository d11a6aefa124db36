// nimbra-cli: the Nimbra core without a window, for servers, scripts and end-to-end tests.

#include <CLI/CLI.hpp>
#include <cstdio>
#include <map>
#include <string>

#include "base/preference_store.hpp"
#include "base/version.hpp"
#include "cli/commands.hpp"
#include "engine/socks_lifecycle_self_test.hpp"

namespace {

constexpr int kUsageError = 2;

// The command line's mode names: what a user types, not the stored raw values.
const std::map<std::string, nimbra::ConnectionMode> kModeNames{
    {"socks", nimbra::ConnectionMode::socks},
    {"proxy", nimbra::ConnectionMode::globalTun},
    {"tun", nimbra::ConnectionMode::realTun},
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"nimbra-cli: Nimbra without a window"};
    app.require_subcommand(0, 1);
    bool showVersion = false;
    bool verifySocksLifecycle = false;
    app.add_flag("--version", showVersion, "print the version");
    app.add_flag("--verify-socks-lifecycle", verifySocksLifecycle,
                 "start usque (or reuse a healthy one), check it, stop it, and report; exit 0 "
                 "behaved, 1 start failed, 2 no tunnel, 3 port still held");

    nimbra::cli::ConnectOptions connect;
    auto* connectCommand = app.add_subcommand(
        "connect",
        "connect and stay in the foreground, printing every status change; Ctrl-C or SIGTERM "
        "disconnects cleanly (exit 0), a failed connect exits 1, Ctrl-C during a connect "
        "cancels it (exit 130). The flags apply to this run only.");
    connectCommand
        ->add_option("--mode", connect.mode,
                     "socks: local SOCKS5 only; proxy: also the "
                     "desktop's proxy settings; tun: the whole machine through nimbrad "
                     "(installed on first use) (default: the stored mode)")
        ->transform(CLI::CheckedTransformer(kModeNames, CLI::ignore_case));
    auto* http2 = connectCommand->add_flag_function(
        "--http2", [&connect](int64_t) { connect.http2 = true; }, "use usque's HTTP/2 transport");
    auto* quic = connectCommand->add_flag_function(
        "--quic", [&connect](int64_t) { connect.http2 = false; }, "use usque's QUIC transport");
    http2->excludes(quic);
    connectCommand->add_flag(
        "--traffic", connect.traffic,
        "while connected, print one line per second: \"traffic down=D up=U total_down=TD "
        "total_up=TU connected=S\" (D, U: bytes in the last second; TD, TU: bytes since the "
        "connect; S: seconds connected)");

    auto* exitCommand = app.add_subcommand(
        "exit",
        "show the exit address (directly and through a running usque) and the latency "
        "of each exit gateway");
    std::string gateway;
    auto* gatewayCommand = app.add_subcommand(
        "gateway",
        "show the stored exit gateway and each gateway's latency, or choose one: direct, "
        "us-fremont, or fastest (measure and take the lowest latency; exit 1 when none answers). "
        "A choice is stored and written to usque's registration file; a running nimbra-cli "
        "connect does not pick it up, it applies at the next connect.");
    gatewayCommand->add_option("gateway", gateway, "direct, us-fremont or fastest")
        ->transform(CLI::IsMember(nimbra::cli::kGatewayNames, CLI::ignore_case));
    auto* prefsCommand =
        app.add_subcommand("prefs", "print the stored preferences (after migration) as JSON");
    auto* proxyCommand = app.add_subcommand(
        "proxy", "show which desktop proxy settings Nimbra uses and what they are");
    auto* repairCommand = app.add_subcommand(
        "repair-network",
        "put back proxy settings a stopped Nimbra left behind, or switch off settings that "
        "still point at Nimbra's proxies; exit 0 when nothing points at them afterwards");
    auto* daemonCommand = app.add_subcommand("daemon", "the privileged daemon nimbrad");
    daemonCommand->require_subcommand(1);
    auto* daemonInstall = daemonCommand->add_subcommand(
        "install",
        "install or update nimbrad as the system service nimbra-daemon.service (one administrator "
        "prompt through pkexec; run with sudo where there is no prompt) and wait until it answers");
    auto* daemonStatus = daemonCommand->add_subcommand(
        "status", "show what nimbrad reports; exit 1 when it cannot be reached");
    auto* daemonUninstall = daemonCommand->add_subcommand(
        "uninstall", "stop and remove the service and its executable; your settings stay");

    std::string dnsMode;
    std::optional<std::string> dnsValue;
    auto* daemonDns = daemonCommand->add_subcommand(
        "dns",
        "store the DNS mode of real TUN mode (off, cloudflare, adguard, nextdns PROFILE, custom "
        "UPSTREAM) and tell nimbrad");
    daemonDns->add_option("mode", dnsMode, "off, cloudflare, adguard, nextdns or custom")
        ->required();
    daemonDns->add_option("value", dnsValue, "the NextDNS profile or the custom upstream");
    std::string excludeTarget;
    auto* daemonExclude = daemonCommand->add_subcommand(
        "exclude", "route an IP address, CIDR block or domain around the tunnel");
    daemonExclude->add_option("target", excludeTarget, "IP address, CIDR block or domain")
        ->required();
    std::string includeTarget;
    auto* daemonInclude = daemonCommand->add_subcommand(
        "include", "take an exclusion back (as nimbra-cli daemon status lists it)");
    daemonInclude->add_option("target", includeTarget, "an exclusion nimbrad lists")->required();
    std::string chinaDirect;
    auto* daemonChinaDirect = daemonCommand->add_subcommand(
        "china-direct", "store and apply whether addresses in China bypass the tunnel");
    daemonChinaDirect->add_option("state", chinaDirect, "on or off")
        ->required()
        ->check(CLI::IsMember({"on", "off"}));

    auto* appsCommand = app.add_subcommand(
        "apps",
        "per-app rules of real TUN mode: which apps go through the tunnel (proxy) and which "
        "around it (direct). Without an action: list. A change reaches a running nimbrad at once "
        "when it routes per app. ID is the app's desktop id (its .desktop file name)");
    appsCommand->require_subcommand(0, 1);
    auto* appsList = appsCommand->add_subcommand(
        "list",
        "the default for apps without a rule, the rules, and, while nimbrad's tunnel is on, "
        "where each running app's traffic goes");
    std::string appId;
    std::string appTarget;
    // Checked as words so a wrong one is named in the error; appRuleTargetFromRaw then holds.
    const auto targetOption = [&appTarget](CLI::App* command) {
        command->add_option("target", appTarget, "proxy or direct")
            ->required()
            ->check(CLI::IsMember({"proxy", "direct"}));
    };
    auto* appsSet =
        appsCommand->add_subcommand("set", "add or change an app's rule (and switch it on)");
    appsSet->add_option("id", appId, "the app's desktop id")->required();
    targetOption(appsSet);
    auto* appsRemove =
        appsCommand->add_subcommand("remove", "remove an app's rule; exit 1 when it has none");
    appsRemove->add_option("id", appId, "the app's desktop id")->required();
    auto* appsDefault =
        appsCommand->add_subcommand("default", "where apps without a rule go: proxy or direct");
    targetOption(appsDefault);
    auto* appsLaunch = appsCommand->add_subcommand(
        "launch",
        "start an app with its traffic sent to the local SOCKS and HTTP proxies; exit 1 when "
        "it cannot be started");
    appsLaunch->add_option("id", appId, "the app's desktop id")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsageError;
    }

    if (showVersion) {
        std::printf("nimbra-cli %s\n", nimbra::kVersion);
        return 0;
    }
    if (verifySocksLifecycle) {
        return nimbra::runSocksLifecycleSelfTest(nimbra::PreferenceStore::standard());
    }
    if (*connectCommand) return nimbra::cli::connectInForeground(connect);
    if (*exitCommand) return nimbra::cli::printExitDiagnostics();
    if (*gatewayCommand) return nimbra::cli::runGatewayCommand(gateway);
    if (*prefsCommand) return nimbra::cli::printPreferences();
    if (*proxyCommand) return nimbra::cli::printSystemProxy();
    if (*repairCommand) return nimbra::cli::repairNetwork();
    if (*daemonInstall) return nimbra::cli::installDaemon();
    if (*daemonStatus) return nimbra::cli::printDaemonStatus();
    if (*daemonUninstall) return nimbra::cli::uninstallDaemon();
    if (*daemonDns) return nimbra::cli::setDaemonDns(dnsMode, dnsValue);
    if (*daemonExclude) return nimbra::cli::changeDaemonExclude(excludeTarget, true);
    if (*daemonInclude) return nimbra::cli::changeDaemonExclude(includeTarget, false);
    if (*daemonChinaDirect) return nimbra::cli::setDaemonChinaDirect(chinaDirect == "on");
    if (*appsSet) return nimbra::cli::setAppRule(appId, *nimbra::appRuleTargetFromRaw(appTarget));
    if (*appsRemove) return nimbra::cli::removeAppRule(appId);
    if (*appsDefault) return nimbra::cli::setAppDefault(*nimbra::appRuleTargetFromRaw(appTarget));
    if (*appsLaunch) return nimbra::cli::launchApp(appId);
    if (*appsList || *appsCommand) return nimbra::cli::listApps();
    std::fputs(app.help().c_str(), stdout);
    return 0;
}
