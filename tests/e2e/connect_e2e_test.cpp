// `nimbra-cli connect` as a user runs it: the real program in a private home, the usque and
// trace-server stand-ins for the network, and in proxy mode the real GNOME settings store
// (gsettings + dconf behind a private session bus). Each test reads the program's lines as they
// come, signals its pid alone, and checks what is left behind: listeners, preferences, the
// desktop's proxy settings and the journal.

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/preference_store.hpp"
#include "cli_run.hpp"
#include "nimbrad_process.hpp"
#include "support/file_text.hpp"
#include "support/private_desktop_store.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"
#include "system/process_table.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace e2e;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::PrivateDesktopStore;
using testing::TraceServerProcess;

// The runs keep the product's own timings (no NIMBRA_TEST_TIMING_SCALE): no case waits out an
// internal limit, and a shortened quit budget would make the restore checks depend on load.
class ConnectE2e : public ::testing::Test {
protected:
    ConnectE2e() {
        home_.writeRegistration();
        home_.routeTraceHostTo(trace_.tcpPort());
        do httpPort_ = testing::freeLoopbackPort();
        while (httpPort_ == home_.port());
        home_.store().setInteger("http_proxy_port", httpPort_);
    }

    std::string socksUrl() const { return "socks5h://127.0.0.1:" + std::to_string(home_.port()); }

    TraceServerProcess trace_;
    testing::UsqueTestHome home_;
    int httpPort_ = 0;
};

// The transports: QUIC connects straight away; QUIC blocked falls back to HTTP/2 once and
// remembers it; a run told to use HTTP/2 never tries QUIC; with both failing the run ends with
// usque's own complaint. A connected run stops cleanly on SIGTERM.
struct TransportCase {
    const char* name;
    std::vector<std::string> flags;
    const char* knob;                 // or nullptr
    std::vector<std::string> lines;   // in this order
    std::vector<std::string> absent;  // in no line
    bool connects;
    bool remembersHttp2;
};

class ConnectTransportE2e : public ConnectE2e,
                            public ::testing::WithParamInterface<TransportCase> {};

TEST_P(ConnectTransportE2e, FallsBackOrFailsAsTheTransportsAllow) {
    const TransportCase& c = GetParam();
    if (c.knob) home_.knob(c.knob, "failed to dial the MASQUE server: timeout");
    std::vector<std::string> args{"connect", "--mode", "socks"};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    CliRun cli(args);

    if (c.connects) {
        ASSERT_TRUE(cli.waitFor("Exit:")) << cli.transcript();
        EXPECT_THAT(curl(kTraceUrl, socksUrl()), HasSubstr("warp=on"));
        cli.signal(SIGTERM);
        EXPECT_TRUE(cli.waitFor("[Disconnected] Disconnected")) << cli.transcript();
        EXPECT_EQ(cli.finish(), 0) << cli.transcript();
    } else {
        EXPECT_EQ(cli.finish(), 1) << cli.transcript();
        EXPECT_THAT(cli.err(), HasSubstr("failed to dial the MASQUE server: timeout"));
    }
    EXPECT_TRUE(inOrder(cli.lines(), c.lines)) << cli.transcript();
    for (const auto& line : cli.lines()) {
        for (const auto& word : c.absent) EXPECT_THAT(line, Not(HasSubstr(word)));
    }
    const PreferenceStore stored(home_.store().file());
    EXPECT_EQ(stored.boolean("usque_prefer_http2").value_or(false), c.remembersHttp2);
    EXPECT_FALSE(listening(home_.port()));
}

const std::string kQuicStart = "Starting usque SOCKS (QUIC)…";
const std::string kHttp2Start = "Starting usque SOCKS (HTTP/2)…";
const std::string kRetry = "Start failed — retrying with HTTP/2…";
const std::string kQuicBlockedKnob = "USQUE_STANDIN_QUIC_EXIT_EARLY";
// clang-format off
INSTANTIATE_TEST_SUITE_P(Transports, ConnectTransportE2e, ::testing::Values(
    TransportCase{"Quic", {}, nullptr,
                  {"[Connecting] Checking usque…", "[Connecting] " + kQuicStart,
                   "[Connecting] Probing WARP exit…", "[Connected] Connected · US/SJC · WARP on",
                   "SOCKS5 proxy: 127.0.0.1:", "ip=104.28.1.1 loc=US colo=SJC warp=on"},
                  {"retrying"}, true, false},
    TransportCase{"QuicBlocked", {}, kQuicBlockedKnob.c_str(),
                  {kQuicStart, kRetry, kHttp2Start, "[Connected]"}, {}, true, true},
    TransportCase{"Http2Flag", {"--http2"}, kQuicBlockedKnob.c_str(),
                  {kHttp2Start, "[Connected]"}, {"QUIC", "retrying"}, true, false},
    TransportCase{"BothFail", {"--quic"}, "USQUE_STANDIN_EXIT_EARLY",
                  {kQuicStart, kRetry, kHttp2Start, "[Error]"}, {}, false, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// Ctrl-C while the first use's `usque register` waits for a provider that never answers ends
// that child with the run: the program is gone within a second, instead of draining the step for
// as long as its own limit allows. (An exit probe's curl ends with the usque it goes through.)
TEST_F(ConnectE2e, SigintEndsARegistrationThatNeverAnswers) {
    const fs::path marker = home_.home() / "register.pid";
    fs::remove(home_.workDirectory() / "config.json");
    home_.knob("USQUE_STANDIN_REGISTER_HANG", marker.string());
    CliRun cli({"connect", "--mode", "socks"});
    ASSERT_TRUE(eventually([&] { return fs::exists(marker); }, kWait)) << cli.transcript();

    cli.signal(SIGINT);
    EXPECT_TRUE(eventually([&] { return !cli.running(); }, 1s))
        << "still running a second after Ctrl-C";
    EXPECT_EQ(cli.finish(), 130) << cli.transcript();
    const pid_t child = std::stoi(testing::readFile(marker));
    EXPECT_TRUE(::kill(child, 0) != 0 && errno == ESRCH) << "usque register lives on";
}

TEST_F(ConnectE2e, WithoutUsqueOnThePathTheRunFailsAndSaysSo) {
    home_.knob("PATH", "/usr/bin:/bin");
    CliRun cli({"connect", "--mode", "socks"});
    EXPECT_EQ(cli.finish(), 1) << cli.transcript();
    EXPECT_THAT(cli.err(), HasSubstr("usque was not found"));
}

// A connected official client refuses the run before anything starts, and the run says why. Its
// warp-cli is a stand-in where the Linux packages may put it, in a mount namespace of the run's.
TEST_F(ConnectE2e, AConnectedOfficialClientRefusesTheRunAndSaysWhy) {
    const char* officialClient = R"(set -e
mount -t tmpfs tmpfs /usr/local/bin
printf '#!/bin/sh\necho "Status update: Connected"\n' >/usr/local/bin/warp-cli
chmod +x /usr/local/bin/warp-cli
exec "$@")";
    CliRun cli({"connect", "--mode", "socks"},
               {"unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                officialClient, "official-client"});
    EXPECT_EQ(cli.finish(), 1) << cli.transcript();
    EXPECT_TRUE(inOrder(cli.lines(), {"[Connecting] Checking usque…",
                                      "[Disconnected] Disconnect official WARP first"}))
        << cli.transcript();
    EXPECT_THAT(cli.err(), HasSubstr("nimbra-cli: Disconnect official WARP first"));
    EXPECT_THAT(cli.transcript(), Not(HasSubstr("Ready")));
    EXPECT_FALSE(listening(home_.port()));
}

// Proxy mode on a GNOME desktop whose user has a corporate proxy of their own.
class ProxyModeE2e : public ConnectE2e {
protected:
    void SetUp() override {
        try {
            desktop_.emplace(home_.home() / "desktop", PrivateDesktopStore::Desktop::gnome);
        } catch (const std::exception& error) {
            GTEST_FAIL() << error.what();
        }
        // The desktop's world has its own HOME and data directory: the registration and curl's
        // trust in the test CA go there.
        std::ofstream(desktop_->journalFile().parent_path() / "config.json")
            << R"({"endpoint_v6": "2606:4700:103::1"})";
        TraceServerProcess::writeCurlHome(home_.home() / "desktop" / "home");
        users_ = desktop_->usersManualProxy();
        users_["http.host"] = users_["https.host"] = "'corp.example'";
        desktop_->seed(users_);
        ASSERT_EQ(desktop_->values(), users_);
    }

    std::string ours(int port) const { return "127.0.0.1:" + std::to_string(port); }

    // Connects in proxy mode, checks the desktop points at us and the relay carries a request,
    // and leaves the run connected.
    void connectAndCheck(CliRun& cli) {
        ASSERT_TRUE(cli.waitFor("Coverage:")) << cli.transcript();
        EXPECT_TRUE(inOrder(cli.lines(), {"[Connected]", "SOCKS5 proxy: " + ours(home_.port()),
                                          "HTTP proxy:   " + ours(httpPort_), "Exit:"}))
            << cli.transcript();
        EXPECT_TRUE(fs::exists(desktop_->journalFile()));
        EXPECT_THAT(curl(kTraceUrl, "http://" + ours(httpPort_)), HasSubstr("warp=on"));
    }

    std::optional<PrivateDesktopStore> desktop_;
    PrivateDesktopStore::Values users_;
};

// Full proxy points the desktop's proxies at ours, auto split at the relay's routing script;
// SIGTERM puts the user's own proxy back either way.
TEST_F(ProxyModeE2e, PointsTheDesktopAtUsAndSigtermPutsTheUsersProxyBack) {
    for (const std::string split : {"full", "auto"}) {
        SCOPED_TRACE(split);
        home_.store().setText("split_tunnel_mode", split);
        CliRun cli({"connect", "--mode", "proxy"});
        ASSERT_NO_FATAL_FAILURE(connectAndCheck(cli));
        auto now = desktop_->values();
        if (split == "full") {
            EXPECT_TRUE(cli.lines().back().ends_with(
                "Coverage:     Full proxy · Web+HTTPS→:" + std::to_string(httpPort_) +
                " · SOCKS→:" + std::to_string(home_.port())))
                << cli.transcript();
            EXPECT_EQ(now["mode"], "'manual'");
            for (const std::string kind : {"http", "https", "socks"}) {
                EXPECT_EQ(now[kind + ".host"], "'127.0.0.1'") << kind;
                EXPECT_EQ(now[kind + ".port"],
                          std::to_string(kind == "socks" ? home_.port() : httpPort_));
            }
        } else {
            EXPECT_THAT(cli.lines().back(), HasSubstr("Auto split")) << cli.transcript();
            EXPECT_EQ(now["mode"], "'auto'");
            const std::string url =
                now["autoconfig-url"].substr(1, now["autoconfig-url"].size() - 2);
            EXPECT_TRUE(url.starts_with("http://" + ours(httpPort_) + "/proxy.pac")) << url;
            EXPECT_THAT(curl(url, ""), HasSubstr("FindProxyForURL"));
        }

        cli.signal(SIGTERM);
        EXPECT_EQ(cli.finish(), 0) << cli.transcript();
        EXPECT_EQ(desktop_->values(), users_);
        EXPECT_FALSE(fs::exists(desktop_->journalFile()));
        EXPECT_FALSE(listening(httpPort_));
    }
}

// A local SOCKS user points the desktop's SOCKS proxy at our port themselves: a run that fails,
// or is cancelled by Ctrl-C while usque starts, took no snapshot, leaves it on and nothing
// listening.
TEST_F(ProxyModeE2e, AFailedOrCancelledSocksRunLeavesTheUsersOwnSocksProxyOn) {
    users_["http.host"] = users_["https.host"] = "''";
    users_["socks.host"] = "'127.0.0.1'";
    users_["socks.port"] = std::to_string(home_.port());
    desktop_->seed(users_);
    for (bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "failed");
        home_.knob("USQUE_STANDIN_NEVER_READY", cancel ? "1" : "0");
        if (!cancel) home_.knob("USQUE_STANDIN_EXIT_EARLY", "1");
        CliRun cli({"connect", "--mode", "socks"});
        if (cancel) {
            // Ctrl-C while usque is up and serving, so there is something to take down.
            ASSERT_TRUE(eventually([&] { return listening(home_.port()); }, kWait))
                << cli.transcript();
            cli.signal(SIGINT);
            EXPECT_TRUE(cli.waitFor("[Disconnected] Cancelled")) << cli.transcript();
        }
        EXPECT_EQ(cli.finish(), cancel ? 130 : 1) << cli.transcript();
        EXPECT_EQ(desktop_->values(), users_);
        EXPECT_FALSE(listening(home_.port()));
    }
}

// A client killed outright leaves the desktop pointing at it; the next connect, and after
// another such kill repair-network, puts the user's proxy back.
TEST_F(ProxyModeE2e, TheUsersProxyComesBackAfterSigkill) {
    for (const bool repair : {false, true}) {
        SCOPED_TRACE(repair ? "repair-network" : "connect again");
        CliRun cli({"connect", "--mode", "proxy"});
        ASSERT_NO_FATAL_FAILURE(connectAndCheck(cli));
        const auto listeners = ProcessTable::system().listenerPids(home_.port());
        ASSERT_EQ(listeners.size(), 1u);
        // usque, in a process group of its own, outlives the killed client; it is ended here
        // unless the recovery below ends it.
        struct Reaper {
            pid_t pid;
            ~Reaper() {
                if (ProcessTable::system().processArgs(pid).find("usque") != std::string::npos)
                    ::kill(pid, SIGTERM);
            }
        } reaper{listeners.front()};
        cli.signal(SIGKILL);
        EXPECT_EQ(cli.finish(), 128 + SIGKILL);
        EXPECT_EQ(desktop_->values()["http.host"], "'127.0.0.1'");
        ASSERT_TRUE(fs::exists(desktop_->journalFile()));

        if (repair) {
            CliRun repairing({"repair-network"});
            EXPECT_EQ(repairing.finish(), 0) << repairing.transcript();
        } else {
            CliRun again({"connect", "--mode", "socks"});
            ASSERT_TRUE(again.waitFor("[Connected]")) << again.transcript();
            EXPECT_EQ(desktop_->values(), users_);
            again.signal(SIGTERM);
            EXPECT_EQ(again.finish(), 0) << again.transcript();
            EXPECT_FALSE(listening(home_.port()));
        }
        EXPECT_EQ(desktop_->values(), users_);
        EXPECT_FALSE(fs::exists(desktop_->journalFile()));
    }
}

#ifdef NIMBRA_EXECUTABLE
// Whether a desktop client owns the app id on the session bus (the test's private one).
bool desktopClientRunning() {
    Subprocess::Options ask;
    ask.argv = {"gdbus",
                "call",
                "--session",
                "--dest",
                "org.freedesktop.DBus",
                "--object-path",
                "/org/freedesktop/DBus",
                "--method",
                "org.freedesktop.DBus.NameHasOwner",
                "io.github.nimbra.Nimbra"};
    return Subprocess::run(std::move(ask), kWait).out.find("true") != std::string::npos;
}

// The desktop client started hidden (as at login), connected in system-proxy mode by a later
// launch's --toggle-connection, quits on SIGTERM (a logout, a `kill`) through the controller's
// bounded quit: gone within its 5 s, the user's proxy back exactly, usque ended.
TEST_F(ProxyModeE2e, TheDesktopClientQuitsOnSigtermAndPutsEverythingBack) {
    home_.store().setText("connection_mode", "global_tun");
    home_.knob("QT_QPA_PLATFORM", "offscreen");
    Subprocess::Options first;
    first.argv = {NIMBRA_EXECUTABLE, "--hidden"};
    first.output = Subprocess::Output::joined;
    Subprocess nimbra = Subprocess::start(std::move(first));
    ASSERT_TRUE(eventually(desktopClientRunning, kWait)) << nimbra.takeStdout();

    Subprocess::Options later;
    later.argv = {NIMBRA_EXECUTABLE, "--toggle-connection"};
    const Subprocess::RunResult toggled = Subprocess::run(std::move(later), kWait);
    ASSERT_EQ(toggled.status.code, 0) << toggled.err;
    ASSERT_TRUE(eventually([&] { return desktop_->values()["http.host"] == "'127.0.0.1'"; }, kWait))
        << nimbra.takeStdout();
    const auto usque = ProcessTable::system().listenerPids(home_.port());
    ASSERT_EQ(usque.size(), 1u);

    nimbra.signal(SIGTERM);
    const auto status = nimbra.wait(5s);
    ASSERT_TRUE(status) << "still running 5 s after SIGTERM: " << nimbra.takeStdout();
    EXPECT_EQ(status->code, 0) << nimbra.takeStdout();
    EXPECT_EQ(desktop_->values(), users_);
    EXPECT_TRUE(eventually([&] { return ::kill(usque.front(), 0) != 0; }, 5s)) << "usque lives on";
}
#endif

}  // namespace
}  // namespace nimbra
