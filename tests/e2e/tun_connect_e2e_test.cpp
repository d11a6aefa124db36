// `nimbra-cli connect --mode tun` against the real nimbrad, both in the client namespace of the
// namespace world: the daemon is started by hand on the socket NIMBRA_DAEMON_SOCKET names (so
// the client uses it as it is and never installs), the usque stand-in carries the tunnel to the
// provider. What counts is what a plain program in the client namespace sees -- which side's
// trace and resolver answer it -- and what the routing and resolver file look like afterwards.
//
// The client namespace gets its own /etc/hosts naming the trace host: the client's direct exit
// probe asks for https://www.cloudflare.com/ by name, as on a real machine, and the name must
// lead to an address the routing decides on. A hosts file leaves the product untouched (no
// test-only host or address of its own), and `ip netns exec` gives it to the CLI alone.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/atomic_file.hpp"
#include "cli_run.hpp"
#include "model/app_preferences.hpp"
#include "nimbrad_process.hpp"
#include "support/private_cgroup.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using Ns = NamespaceWorld::Ns;

// The compatibility SOCKS gateway's port in the client namespace (its loopback is its own).
constexpr int kCompatPort = 19999;
// The desktop id of an application with a "direct" rule, and where the user's desktop runs
// applications (the CLI runs as kDaemonUser).
constexpr const char* kEditorId = "org.example.editor";
const std::string kAppSlice = "user.slice/user-" + std::to_string(kDaemonUser) + ".slice/user@" +
                              std::to_string(kDaemonUser) + ".service/app.slice/";

// `argv` with cgroup2 at /sys/fs/cgroup, where a systemd machine has it (`ip netns exec` mounts
// a fresh /sys), then as kDaemonUser.
std::vector<std::string> withCgroupsAsUser(std::vector<std::string> argv) {
    argv = asDaemonUser(std::move(argv));
    argv.insert(argv.begin(),
                {"sh", "-c", R"(mount -t cgroup2 none /sys/fs/cgroup && exec "$@")", "sh"});
    return argv;
}

class TunConnectE2e : public NimbradWorldTest {
protected:
    void SetUp() override {
        // The namespaces' tools (sysctl, ip) live in the sbin folders the test home leaves out.
        home_.knob("PATH", std::string(NIMBRA_STANDIN_DIR) + ":/usr/bin:/bin:/usr/sbin:/sbin");
        NimbradWorldTest::SetUp();
        if (IsSkipped()) return;
        world_->addResolver(Ns::provider, kOtherResolver, kOtherDnsAnswer);
        world_->writeHosts(Ns::client, "127.0.0.1 localhost\n" + std::string(kTraceHost) + " " +
                                           kTraceName + "\n");
        home_.store().setInteger("socks_port", kCompatPort);
        // Everything through the tunnel but the editor, which has a unit of its own.
        const AppPreferences preferences(home_.store());
        preferences.migrateIfNeeded();
        preferences.setDefaultAppFallback(AppRuleTarget::proxy);
        preferences.setAppRules(
            {{newUuid(), "Editor", kEditorId, "editor", "", true, AppRuleTarget::direct}});
        home_.knob("NIMBRA_DAEMON_SOCKET", socket_.string());
        // The registration and config.yml do not exist yet: the CLI's first connect writes them,
        // as the user the daemon acts for. Their folder does, so that the confined daemon may
        // write there too. A slow reconnect keeps the spell without usque long enough for the
        // status polls to see it.
        fs::create_directories(config().parent_path());
        giveToDaemonUser(home_.home());
        startDaemon(config(), home_.workDirectory() / "config.json",
                    config().parent_path() / "nimbrad.log", {"USQUE_STANDIN_READY_DELAY_MS=1500"});
    }

    fs::path config() const { return home_.workDirectory() / "daemon" / "config.yml"; }

    CliRun connect() {
        return CliRun({"connect", "--mode", "tun", "--traffic"},
                      world_->inside(Ns::client, withCgroupsAsUser({})));
    }

    // A nimbra-cli command in the client namespace, run to its end.
    Subprocess::RunResult cli(std::vector<std::string> args) const {
        args.insert(args.begin(), NIMBRA_CLI);
        return world_->run(Ns::client, withCgroupsAsUser(std::move(args)));
    }

    // The trace through the compatibility gateway, from inside the client namespace.
    std::string viaGateway() const {
        const auto result = world_->run(
            Ns::client, {"curl", "-q", "-sS", "--max-time", "30", "--cacert",
                         testing::TraceServerProcess::caFile(), "--proxy",
                         "socks5h://127.0.0.1:" + std::to_string(kCompatPort), kTraceUrl});
        return result.out + result.err;
    }

    // Fetches `bytes` from a server on the provider's side of the tunnel (at the trace host's
    // address, which both sides carry; only the provider serves this port). What curl counted,
    // or its error.
    std::string pullDownTheTunnel(std::size_t bytes) {
        std::ofstream(dir_ / "body") << std::string(bytes, 'x');
        Subprocess server = world_->start(
            Ns::provider, {testing::TraceServerProcess::programPath(), "--bind", kTraceHost,
                           "--port", "8443", "--body-file", dir_ / "body", "--exit-with-parent"});
        if (!testing::LineReader(server.releaseStdout()).waitFor("listening", kWait))
            return "no server: " + server.takeStderr();
        const auto result =
            world_->run(Ns::client, {"curl", "-q", "-sS", "--noproxy", "*", "--max-time", "60",
                                     "--cacert", testing::TraceServerProcess::caFile(), "--resolve",
                                     std::string(kTraceName) + ":8443:" + kTraceHost, "-o",
                                     "/dev/null", "-w", "%{size_download}",
                                     std::string("https://") + kTraceName + ":8443/cdn-cgi/trace"});
        return result.out + result.err;
    }

    testing::UsqueTestHome home_;
};

// One whole session: connect, what goes through the TUN and what stays on the LAN, traffic, the
// live settings, a killed usque healed, SIGTERM. Each step leans on the one before, so they share
// one run rather than rebuilding the world each time.
TEST_F(TunConnectE2e, ConnectsChangesSettingsLiveHealsAndRestoresOnSigterm) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = resolver();
    ASSERT_EQ(world_->warp(), "off");

    CliRun run = connect();
    ASSERT_TRUE(run.waitFor("] Connected · ")) << run.transcript();
    // nimbrad answered, so nothing was installed: the start went straight to the daemon.
    EXPECT_TRUE(inOrder(run.lines(),
                        {"Starting real TUN (nimbrad)…", "Verifying real TUN", "] Connected · "}))
        << run.transcript();
    EXPECT_EQ(world_->warp(), "on");
    EXPECT_EQ(world_->warp(/*ipv6=*/true), "on");
    EXPECT_THAT(viaGateway(), HasSubstr("warp=on"));
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
    EXPECT_THAT(resolver(), HasSubstr("nameserver 127.0.0.1"));
    // The router's LAN and the MASQUE endpoint stay off the tunnel (or it would carry itself).
    for (const char* direct : {kRouterAddress, kMasqueEndpoint}) {
        EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", direct}),
                    HasSubstr("dev lan0"))
            << direct;
    }
    {
        SCOPED_TRACE("traffic");
        // The figures are measured on nimbrad's interface: a few MB down the TUN move them.
        struct {
            long long down, up, totalDown, totalUp;
        } before{}, after{};
        const auto next = [&](auto& f) {  // reads the next "traffic ..." line
            return run.waitFor("traffic down=") &&
                   std::sscanf(run.lines().back().c_str(),
                               "traffic down=%lld up=%lld total_down=%lld total_up=%lld", &f.down,
                               &f.up, &f.totalDown, &f.totalUp) == 4;
        };
        ASSERT_TRUE(next(before)) << run.transcript();
        constexpr long long kPulled = 4 << 20;
        ASSERT_EQ(pullDownTheTunnel(kPulled), std::to_string(kPulled));
        // Up to the first line that counts all of it, within 30 ticks.
        for (int tick = 0; tick < 30 && next(after); ++tick)
            if (after.totalDown >= before.totalDown + kPulled) break;
        EXPECT_GT(after.down, 0) << run.transcript();
        EXPECT_GE(after.totalDown - before.totalDown, kPulled) << run.transcript();
        EXPECT_GT(after.totalUp, before.totalUp) << "the requests and acknowledgements";
    }

    {
        SCOPED_TRACE("daemon dns custom");
        const auto result = cli({"daemon", "dns", "custom", kOtherResolver});
        EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr("nimbrad: ok"));
        EXPECT_EQ(world_->lookup("127.0.0.1"), kOtherDnsAnswer);
        EXPECT_THAT(readWholeFile(config()).value_or(""), HasSubstr(kOtherResolver));
    }
    // An excluded address or network goes straight to the router, and back once included again.
    for (const std::string target : {kTraceHost, "203.0.113.0/24"}) {
        for (const bool exclude : {true, false}) {
            SCOPED_TRACE((exclude ? "exclude " : "include ") + target);
            const auto result = cli({"daemon", exclude ? "exclude" : "include", target});
            EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
            EXPECT_EQ(world_->warp(), exclude ? "off" : "on");
            EXPECT_EQ(readWholeFile(config()).value_or("").find(target) != std::string::npos,
                      exclude);
            EXPECT_EQ(status()["excludes"].dump().find(target) != std::string::npos, exclude);
        }
    }
    // A mainland-China address (from the country database) leaves directly while it is on.
    for (const char* china : {"on", "off"}) {
        SCOPED_TRACE(std::string("china-direct ") + china);
        const auto result = cli({"daemon", "china-direct", china});
        EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
        EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", "114.114.114.114"}),
                    HasSubstr(std::string(china) == "on" ? "dev lan0" : "dev nimbra0"));
    }
    {
        SCOPED_TRACE("usque killed");
        const pid_t killed = daemon_->usquePid();
        ASSERT_GT(killed, 0);
        ASSERT_EQ(::kill(killed, SIGKILL), 0);
        EXPECT_TRUE(eventually([&] { return daemon_->statusSays("connected", false); }))
            << status().dump();
        EXPECT_TRUE(eventually([&] {
            const pid_t now = daemon_->usquePid();
            return now > 0 && now != killed && status().value("ok", false);
        })) << status().dump();
        EXPECT_GE(status().value("usque_restarts", 0), 1);
        EXPECT_EQ(world_->warp(), "on");
        EXPECT_EQ(world_->lookup("127.0.0.1"), kOtherDnsAnswer);
        EXPECT_TRUE(run.running()) << run.transcript();
    }

    run.signal(SIGTERM);
    EXPECT_TRUE(run.waitFor("[Disconnected] Disconnected")) << run.transcript();
    EXPECT_EQ(run.finish(), 0) << run.transcript();
    for (const auto& line : run.lines()) EXPECT_THAT(line, Not(HasSubstr("[Error]")));
    EXPECT_EQ(status().value("tunnel_on", true), false) << status().dump();
    EXPECT_FALSE(world_->run(Ns::client, {"ip", "link", "show", "nimbra0"}).status.succeeded())
        << "nimbra0 is still there";
    EXPECT_EQ(routing(), routesBefore);
    EXPECT_EQ(resolver(), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

// Per-app rules while connected: an application whose unit appears after the connect follows
// its rule as soon as the client hears of it, a change from the command line applies to it
// while it runs, and the client's next set (another app starting) carries that change too.
TEST_F(TunConnectE2e, RoutesRunningAppsByTheirRulesLive) {
    ASSERT_EQ(testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
                  cgroups.create(kAppSlice);  // the user's manager is up before any app
                  CliRun run = connect();
                  ASSERT_TRUE(run.waitFor("] Connected · ")) << run.transcript();

                  const std::string editor = kAppSlice + "app-gnome-" + kEditorId + "-41.scope";
                  cgroups.create(editor);
                  EXPECT_TRUE(eventually([&] { return warpIn(editor) == "off"; }));
                  EXPECT_EQ(world_->warp(), "on") << "everything else, by the default";

                  const auto set = cli({"apps", "set", kEditorId, "proxy"});
                  EXPECT_THAT(set.out, HasSubstr("applied now")) << set.out << set.err;
                  EXPECT_EQ(warpIn(editor), "on");
                  const auto sent = status()["route_gen"].get<std::uint64_t>();
                  cgroups.create(kAppSlice + "app-gnome-org.example.other-42.scope");
                  EXPECT_TRUE(eventually(
                      [&] { return status()["route_gen"].get<std::uint64_t>() > sent; }));
                  EXPECT_EQ(warpIn(editor), "on") << "the client sent rules older than the CLI's";

                  run.signal(SIGTERM);
                  EXPECT_EQ(run.finish(), 0) << run.transcript();
              }),
              "");
}

}  // namespace
}  // namespace nimbra::e2e
