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
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/unique_fd.hpp"
#include "cli_run.hpp"
#include "namespace_world.hpp"
#include "nimbrad_process.hpp"
#include "support/temp_dir.hpp"
#include "support/trace_server_process.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using Ns = NamespaceWorld::Ns;
using Json = nlohmann::json;

// The compatibility SOCKS gateway's port in the client namespace (its loopback is its own).
constexpr int kCompatPort = 19999;

class TunConnectE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (!fs::exists(NimbradProcess::program()))
            GTEST_SKIP() << "nimbrad is not built: " << NimbradProcess::program();
        // The namespaces' tools (sysctl, ip) live in the sbin folders the test home leaves out.
        home_.knob("PATH", std::string(NIMBRA_STANDIN_DIR) + ":/usr/bin:/bin:/usr/sbin:/sbin");
        world_.emplace();
        world_->addResolver(Ns::provider, kOtherResolver, kOtherDnsAnswer);
        world_->writeHosts(Ns::client, "127.0.0.1 localhost\n" + std::string(kTraceHost) + " " +
                                           kTraceName + "\n");
        home_.store().setInteger("socks_port", kCompatPort);
        home_.knob("NIMBRA_DAEMON_SOCKET", socket_.string());

        // nimbrad runs only a usque in folders no one but root may write to.
        const fs::path usque = NimbradProcess::installUsque(dir_.path());
        std::ofstream(resolvConf_)
            << "# the LAN's resolver\nnameserver " << kRouterAddress << "\noptions edns0\n";
        // The registration and config.yml do not exist yet: the CLI's first connect writes them,
        // as the user the daemon acts for.
        giveToDaemonUser(home_.home());
        const fs::path data = home_.workDirectory();
        daemon_.emplace(*world_, NimbradProcess::Options{.config = data / "daemon" / "config.yml",
                                                         .registration = data / "config.json",
                                                         .resolvConf = resolvConf_,
                                                         .stateDirectory = dir_ / "state",
                                                         .log = home_.home() / "nimbrad.log",
                                                         .socket = socket_,
                                                         .usque = usque,
                                                         .extraArguments = {},
                                                         .environment = {}});
    }

    void TearDown() override {
        if (HasFailure() && daemon_)
            std::cerr << "--- nimbrad log\n" << daemon_->log() << "--- end\n";
        daemon_.reset();
    }

    CliRun connect() {
        return CliRun({"connect", "--mode", "tun", "--traffic"},
                      world_->inside(Ns::client, asDaemonUser({})));
    }

    // A nimbra-cli command in the client namespace, run to its end.
    Subprocess::RunResult cli(std::vector<std::string> args) const {
        args.insert(args.begin(), NIMBRA_CLI);
        return world_->run(Ns::client, asDaemonUser(std::move(args)));
    }

    Json status() const { return daemon_->status(); }
    std::string routing() const { return routingOf(*world_); }

    // The trace through the compatibility gateway, from inside the client namespace.
    std::string viaGateway() const {
        const auto result = world_->run(
            Ns::client, {"curl", "-q", "-sS", "--max-time", "30", "--cacert",
                         testing::TraceServerProcess::caFile(), "--proxy",
                         "socks5h://127.0.0.1:" + std::to_string(kCompatPort), kTraceUrl});
        return result.out + result.err;
    }

    pid_t usquePid() const { return daemon_->usquePid(); }

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

    testing::TempDir dir_;
    testing::UsqueTestHome home_;
    fs::path socket_ = dir_ / "nimbra.sock";
    fs::path resolvConf_ = dir_ / "resolv.conf";
    std::optional<NamespaceWorld> world_;
    std::optional<NimbradProcess> daemon_;
};

// One whole session: connect, traffic through the TUN, the live settings, a killed usque healed,
// SIGTERM. Each step leans on the one before, so they share one run rather than rebuilding the
// world each time.
TEST_F(TunConnectE2e, ConnectsChangesSettingsLiveHealsAndRestoresOnSigterm) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = readWholeFile(resolvConf_).value_or("");
    ASSERT_EQ(world_->warp(), "off");

    CliRun run = connect();
    ASSERT_TRUE(run.waitFor("] Connected · ")) << run.transcript();
    // nimbrad answered, so nothing was installed: the start went straight to the daemon.
    EXPECT_TRUE(inOrder(run.lines(),
                        {"Starting real TUN (nimbrad)…", "Verifying real TUN", "] Connected · "}))
        << run.transcript();
    EXPECT_EQ(world_->warp(), "on");
    EXPECT_THAT(viaGateway(), HasSubstr("warp=on"));
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
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
        EXPECT_THAT(readWholeFile(home_.workDirectory() / "daemon" / "config.yml").value_or(""),
                    HasSubstr(kOtherResolver));
    }
    for (const char* change : {"exclude", "include"}) {
        SCOPED_TRACE(change);
        const auto result = cli({"daemon", change, kTraceHost});
        EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
        EXPECT_EQ(world_->warp(), std::string(change) == "exclude" ? "off" : "on");
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
        const pid_t killed = usquePid();
        ASSERT_GT(killed, 0);
        ASSERT_EQ(::kill(killed, SIGKILL), 0);
        EXPECT_TRUE(eventually([&] {
            const pid_t now = usquePid();
            return now > 0 && now != killed && status().value("ok", false);
        })) << status().dump();
        EXPECT_EQ(world_->warp(), "on");
        EXPECT_EQ(world_->lookup("127.0.0.1"), kOtherDnsAnswer);
        EXPECT_TRUE(run.running()) << run.transcript();
    }

    run.signal(SIGTERM);
    EXPECT_TRUE(run.waitFor("[Disconnected] Disconnected")) << run.transcript();
    EXPECT_EQ(run.finish(), 0) << run.transcript();
    for (const auto& line : run.lines()) EXPECT_THAT(line, Not(HasSubstr("[Error]")));
    EXPECT_EQ(status().value("tunnel_on", true), false) << status().dump();
    EXPECT_EQ(routing(), routesBefore);
    EXPECT_EQ(readWholeFile(resolvConf_).value_or(""), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

}  // namespace
}  // namespace nimbra::e2e
