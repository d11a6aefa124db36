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
#include <sys/un.h>

#include <chrono>
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

#include "base/unique_fd.hpp"
#include "cli_run.hpp"
#include "namespace_world.hpp"
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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool eventually(const std::function<bool()>& condition) {
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
        if (condition()) return true;
    }
    return condition();
}

// One JSON request line to nimbrad's socket; its reply line, or "" when none came.
std::string ask(const fs::path& socket, const std::string& cmd) {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
    const timeval timeout{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string line = Json{{"cmd", cmd}}.dump() + "\n";
    if (::send(fd.get(), line.data(), line.size(), MSG_NOSIGNAL) < 0) return "";
    ::shutdown(fd.get(), SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
    return reply;
}

class TunConnectE2e : public ::testing::Test {
protected:
    static fs::path nimbrad() { return fs::path(NIMBRA_CLI).parent_path() / "nimbrad"; }

    void SetUp() override {
        if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (!fs::exists(nimbrad())) GTEST_SKIP() << "nimbrad is not built: " << nimbrad();
        // The namespaces' tools (sysctl, ip) live in the sbin folders the test home leaves out.
        home_.knob("PATH", std::string(NIMBRA_STANDIN_DIR) + ":/usr/bin:/bin:/usr/sbin:/sbin");
        world_.emplace();
        world_->addResolver(Ns::provider, kOtherResolver, kOtherDnsAnswer);
        world_->writeHosts(Ns::client, "127.0.0.1 localhost\n" + std::string(kTraceHost) + " " +
                                           kTraceName + "\n");
        home_.store().setInteger("socks_port", kCompatPort);
        home_.knob("NIMBRA_DAEMON_SOCKET", socket_.string());
        home_.knob("USQUE_STANDIN_PROVIDER_NETNS", world_->path(Ns::provider));

        // nimbrad runs only a usque in folders no one but root may write to.
        const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
        fs::permissions(dir_.path(), readable);
        fs::copy_file(fs::path(NIMBRA_STANDIN_DIR) / "usque", usque_);
        fs::permissions(usque_, readable);
        std::ofstream(resolvConf_)
            << "# the LAN's resolver\nnameserver " << kRouterAddress << "\noptions edns0\n";
        // The registration and config.yml do not exist yet: the CLI's first connect writes them.
        const fs::path data = home_.workDirectory();
        daemon_ = world_->start(
            Ns::client,
            {nimbrad().string(), "-config", (data / "daemon" / "config.yml").string(),
             "-usque-config", (data / "config.json").string(), "-sock", socket_.string(), "-listen",
             "127.0.0.1:53", "-log", log_.string(), "-usque", usque_.string(), "-state-dir",
             (dir_ / "state").string(), "-resolv-conf", resolvConf_.string(), "-allow-uid", "0"},
            {}, Subprocess::Output::discard);
        ASSERT_TRUE(eventually([&] { return !ask(socket_, "ping").empty(); })) << readFile(log_);
    }

    void TearDown() override {
        if (daemon_ && daemon_->running()) {
            daemon_->signal(SIGTERM);
            if (!daemon_->wait(kWait)) daemon_->kill();
        }
        if (HasFailure()) std::cerr << "--- nimbrad log\n" << readFile(log_) << "--- end\n";
    }

    CliRun connect() {
        return CliRun({"connect", "--mode", "tun"},
                      world_->inside(Ns::client, std::vector<std::string>{}));
    }

    // A nimbra-cli command in the client namespace, run to its end.
    Subprocess::RunResult cli(std::vector<std::string> args) const {
        args.insert(args.begin(), NIMBRA_CLI);
        return world_->run(Ns::client, std::move(args));
    }

    Json status() const {
        const Json reply = Json::parse(ask(socket_, "status"), nullptr, false);
        return reply.is_object() && reply.contains("status") ? reply["status"] : Json::object();
    }

    std::string routing() const {
        std::string all;
        for (const auto& command :
             std::vector<std::vector<std::string>>{{"ip", "rule"},
                                                   {"ip", "-6", "rule"},
                                                   {"ip", "route", "show", "table", "all"},
                                                   {"ip", "-6", "route", "show", "table", "all"}}) {
            all += "# " + command.back() + "\n" + world_->output(Ns::client, command);
        }
        return all;
    }

    // The trace through the compatibility gateway, from inside the client namespace.
    std::string viaGateway() const {
        const auto result = world_->run(
            Ns::client, {"curl", "-q", "-sS", "--max-time", "30", "--cacert",
                         testing::TraceServerProcess::caFile(), "--proxy",
                         "socks5h://127.0.0.1:" + std::to_string(kCompatPort), kTraceUrl});
        return result.out + result.err;
    }

    pid_t usquePid() const {
        const std::string text = readFile(dir_ / "state" / "usque.pid");
        return text.empty() ? 0 : std::stoi(text);
    }

    testing::TempDir dir_;
    testing::UsqueTestHome home_;
    fs::path usque_ = dir_ / "usque";
    fs::path socket_ = dir_ / "nimbra.sock";
    fs::path log_ = dir_ / "nimbrad.log";
    fs::path resolvConf_ = dir_ / "resolv.conf";
    std::optional<NamespaceWorld> world_;
    std::optional<Subprocess> daemon_;
};

// One whole session: connect, the live settings, a killed usque healed, SIGTERM. Each step
// leans on the one before, so they share one run rather than rebuilding the world each time.
TEST_F(TunConnectE2e, ConnectsChangesSettingsLiveHealsAndRestoresOnSigterm) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = readFile(resolvConf_);
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
        SCOPED_TRACE("daemon dns custom");
        const auto result = cli({"daemon", "dns", "custom", kOtherResolver});
        EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
        EXPECT_THAT(result.out, HasSubstr("nimbrad: ok"));
        EXPECT_EQ(world_->lookup("127.0.0.1"), kOtherDnsAnswer);
        EXPECT_THAT(readFile(home_.workDirectory() / "daemon" / "config.yml"),
                    HasSubstr(kOtherResolver));
    }
    for (const char* change : {"exclude", "include"}) {
        SCOPED_TRACE(change);
        const auto result = cli({"daemon", change, kTraceHost});
        EXPECT_TRUE(result.status.succeeded()) << result.out << result.err;
        EXPECT_EQ(world_->warp(), std::string(change) == "exclude" ? "off" : "on");
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
    EXPECT_EQ(readFile(resolvConf_), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

}  // namespace
}  // namespace nimbra::e2e
