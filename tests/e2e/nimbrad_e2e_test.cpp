// nimbrad as root runs it, in the client namespace of the namespace world: the usque stand-in
// makes the tunnel to the provider, the daemon routes the client's traffic and DNS into it. The
// tests speak the daemon's socket protocol (one JSON line per connection) and look at what a
// program in the client namespace sees, and at the routing tables and resolver file it leaves.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/atomic_file.hpp"
#include "namespace_world.hpp"
#include "nimbrad_process.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Ns = NamespaceWorld::Ns;
using Json = nlohmann::json;

constexpr auto kWait = 60s;

class NimbradE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (!fs::exists(NimbradProcess::program()))
            GTEST_SKIP() << "nimbrad is not built: " << NimbradProcess::program();
        world_.emplace();
        // Traversable for the unprivileged client; writable by root alone, as nimbrad demands
        // of the folders above the usque it runs.
        usque_ = NimbradProcess::installUsque(dir_.path());
        fs::create_directory(user_);
        Subprocess::Options registration;
        registration.argv = {usque_.string(), "register", "-a", "-c", registrationFile_.string()};
        ASSERT_TRUE(Subprocess::run(std::move(registration), kWait).status.succeeded());
        std::ofstream(config_) << "dns:\n  mode: cloudflare\nhttp2: false\nexcludes: []\n";
        giveToDaemonUser(user_);
        std::ofstream(resolvConf_)
            << "# the LAN's resolver\nnameserver " << kRouterAddress << "\noptions edns0\n";
    }

    void TearDown() override {
        if (HasFailure() && daemon_)
            std::cerr << "--- nimbrad log\n" << daemon_->log() << "--- end\n";
        daemon_.reset();
        // A usque that outlived a killed daemon holds the client namespace: ours to end.
        for (const pid_t pid : usquePids_) ::kill(pid, SIGKILL);
    }

    void startDaemon(const std::vector<std::string>& environment = {}) {
        daemon_.reset();
        daemon_.emplace(*world_, NimbradProcess::Options{.config = config_,
                                                         .registration = registrationFile_,
                                                         .resolvConf = resolvConf_,
                                                         .stateDirectory = dir_ / "state",
                                                         .log = user_ / "nimbrad.log",
                                                         .socket = dir_ / "nimbra.sock",
                                                         .usque = usque_,
                                                         .extraArguments = {},
                                                         .environment = environment});
    }

    std::string ask(const std::string& line) const { return daemon_->ask(line); }
    std::string request(const std::string& cmd, const std::vector<std::string>& args = {}) const {
        return requestLine(cmd, args);
    }
    nlohmann::json status() const { return daemon_->status(); }
    bool statusSays(const char* field, bool value) const {
        return daemon_->statusSays(field, value);
    }

    // "start", then wait until the daemon reports the tunnel connected and routed.
    void startTunnel() {
        ASSERT_THAT(ask(request("start")), HasSubstr("\"ok\":true"));
        ASSERT_TRUE(eventually([&] { return statusSays("ok", true); })) << status().dump();
        usquePids_.push_back(daemon_->usquePid());
    }

    std::string routing() const { return routingOf(*world_); }

    testing::TempDir dir_;
    fs::path usque_;
    // The files of the user the daemon acts for, in a folder of theirs.
    fs::path user_ = dir_ / "user";
    fs::path registrationFile_ = user_ / "usque-config.json";
    fs::path config_ = user_ / "config.yml";
    fs::path resolvConf_ = dir_ / "resolv.conf";
    std::optional<NamespaceWorld> world_;
    std::optional<NimbradProcess> daemon_;
    std::vector<pid_t> usquePids_;
};

TEST_F(NimbradE2e, StartSendsTrafficAndDnsThroughTheTunnelAndKeepsTheLanDirect) {
    startDaemon();
    EXPECT_EQ(world_->warp(), "off");
    startTunnel();

    EXPECT_EQ(world_->warp(), "on");
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
    EXPECT_THAT(readWholeFile(resolvConf_).value_or(""), HasSubstr("nameserver 127.0.0.1"));
    // The router's LAN and the MASQUE endpoint stay off the tunnel (or it would carry itself).
    for (const char* direct : {kRouterAddress, kMasqueEndpoint}) {
        EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", direct}),
                    HasSubstr("dev lan0"))
            << direct;
    }
    EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", kTraceHost}),
                HasSubstr("dev nimbra0"));
}

// An excluded address or network goes straight to the router, and back once included again.
TEST_F(NimbradE2e, ExcludedTargetsGoDirectUntilIncluded) {
    startDaemon();
    startTunnel();
    for (const std::string& target : {std::string(kTraceHost), std::string("203.0.113.0/24")}) {
        SCOPED_TRACE(target);
        const auto generation = status()["route_gen"];
        EXPECT_THAT(ask(request("exclude", {target})), HasSubstr("\"ok\":true"));
        EXPECT_EQ(world_->warp(), "off");
        EXPECT_NE(status()["route_gen"], generation);
        EXPECT_THAT(status()["excludes"].dump(), HasSubstr(target));
        EXPECT_THAT(readWholeFile(config_).value_or(""), HasSubstr(target));

        EXPECT_THAT(ask(request("include", {target})), HasSubstr("\"ok\":true"));
        EXPECT_EQ(world_->warp(), "on");
        EXPECT_THAT(readWholeFile(config_).value_or(""), Not(HasSubstr(target)));
    }
}

// IPv6 goes through the tunnel when it carries IPv6; when it does not, IPv6 is blocked: the
// trace host's IPv6 address, reachable directly through the router, must not answer at all.
TEST_F(NimbradE2e, Ipv6NeverGoesAroundTheTunnel) {
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        std::function<void(const std::string&)> expect;
    };
    const std::vector<Case> cases = {
        {"tunnel with IPv6", {}, [](const std::string& warp) { EXPECT_EQ(warp, "on"); }},
        {"tunnel without IPv6",
         {"USQUE_STANDIN_NO_IPV6=1"},
         [](const std::string& warp) { EXPECT_THAT(warp, StartsWith("no trace")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startDaemon(c.knobs);
        EXPECT_EQ(world_->warp(true), "off");
        startTunnel();
        c.expect(world_->warp(true));
        EXPECT_EQ(world_->warp(false), "on");
        daemon_->process().signal(SIGTERM);
        ASSERT_TRUE(daemon_->process().wait(kWait).has_value());
    }
}

TEST_F(NimbradE2e, KilledUsqueIsDisconnectedThenConnectedAgain) {
    // A slow reconnect keeps the disconnected spell long enough to be seen by polling.
    startDaemon({"USQUE_STANDIN_READY_DELAY_MS=1500"});
    startTunnel();
    ASSERT_EQ(usquePids_.size(), 1u);
    ASSERT_EQ(::kill(usquePids_.front(), SIGKILL), 0);

    EXPECT_TRUE(eventually([&] { return statusSays("connected", false); })) << status().dump();
    EXPECT_TRUE(eventually([&] { return statusSays("ok", true); })) << status().dump();
    EXPECT_GE(status()["usque_restarts"].get<int>(), 1);
    usquePids_.push_back(daemon_->usquePid());
    EXPECT_EQ(world_->warp(), "on");
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
}

// However the tunnel ends -- "stop", SIGTERM, or the daemon killed and started again -- the
// routing tables and the resolver file are exactly as they were before.
enum class Ending { stopCommand, sigterm, sigkillThenRestart };

class NimbradEnds : public NimbradE2e, public ::testing::WithParamInterface<Ending> {};

TEST_P(NimbradEnds, LeaveRoutingAndResolverAsBefore) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = readWholeFile(resolvConf_).value_or("");
    startDaemon();
    startTunnel();
    ASSERT_NE(routing(), routesBefore) << "the tunnel changed nothing";

    switch (GetParam()) {
        case Ending::stopCommand:
            EXPECT_THAT(ask(request("stop")), HasSubstr("\"ok\":true"));
            EXPECT_TRUE(statusSays("tunnel_on", false));
            break;
        case Ending::sigterm: {
            daemon_->process().signal(SIGTERM);
            const auto status = daemon_->process().wait(kWait);
            ASSERT_TRUE(status.has_value());
            EXPECT_EQ(status->code, 0);
            break;
        }
        case Ending::sigkillThenRestart:
            daemon_->process().signal(SIGKILL);
            ASSERT_TRUE(daemon_->process().wait(kWait).has_value());
            startDaemon();
            break;
    }
    // A usque still running after its daemon has gone keeps nimbra0, and the kernel its routes.
    EXPECT_FALSE(world_->run(Ns::client, {"ip", "link", "show", "nimbra0"}).status.succeeded())
        << "nimbra0 is still there";
    EXPECT_EQ(routing(), routesBefore);
    EXPECT_EQ(readWholeFile(resolvConf_).value_or(""), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

INSTANTIATE_TEST_SUITE_P(Endings, NimbradEnds,
                         ::testing::Values(Ending::stopCommand, Ending::sigterm,
                                           Ending::sigkillThenRestart),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Ending::stopCommand:
                                     return std::string("StopCommand");
                                 case Ending::sigterm:
                                     return std::string("Sigterm");
                                 case Ending::sigkillThenRestart:
                                     break;
                             }
                             return std::string("SigkillThenRestart");
                         });

// Request lines mangled every which way get a reply (or a hang-up), never a crash.
TEST_F(NimbradE2e, FuzzedRequestLinesNeverBringItDown) {
    startDaemon();
    std::mt19937 random(20261207);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const std::vector<std::string> seeds = {
        request("ping"),
        request("status"),
        request("exclude", {"10.20.0.0/16"}),
        request("include", {"10.20.0.0/16"}),
        request("dns", {"custom", "9.9.9.9"}),
        request("nat64", {"64:ff9b::/96"}),
        request("chinadirect", {"off"}),
        R"({"cmd":"exclude","args":["\u00e9\ud83d\ude00.example"]})",
    };
    const std::string alphabet = "{}[]\":,\\u0123456789abcdef \t\x01\x7f\xc3\xa9\xff\xed\xa0\x80";
    std::vector<std::string> lines = {
        "",
        "{",
        "}",
        "null",
        "[]",
        "{\"cmd\":\"ping\"}{}",
        "{\"cmd\":\"ping\",\"cmd\":\"stop\"}",
        std::string(70 * 1024, 'x'),
        std::string(1000, '[') + std::string(1000, ']'),
        R"({"cmd":"exclude","args":["\ud800"]})",
        R"({"cmd":"exclude","args":[1,2,3]})",
        R"({"cmd":"dns","args":[]})",
        R"({"cmd":"exclude","args":["a","b","c","d","e","f","g","h","i"]})",
    };
    while (lines.size() < 400) {
        std::string line = seeds[pick(seeds.size())];
        for (std::size_t edits = 1 + pick(6); edits > 0 && !line.empty(); --edits) {
            const std::size_t at = pick(line.size());
            switch (pick(4)) {
                case 0:
                    line[at] = alphabet[pick(alphabet.size())];
                    break;
                case 1:
                    line.insert(at, 1, alphabet[pick(alphabet.size())]);
                    break;
                case 2:
                    line.erase(at, 1 + pick(4));
                    break;
                default:
                    line.insert(at, line.substr(pick(line.size())));
                    break;
            }
        }
        lines.push_back(line);
    }
    int replies = 0;
    for (const auto& line : lines) {
        // A line feed inside would make it two requests; the daemon reads only the first.
        std::string one = line;
        std::replace(one.begin(), one.end(), '\n', ' ');
        const std::string reply = ask(one);
        if (reply.empty()) continue;
        ++replies;
        const Json parsed = Json::parse(reply, nullptr, false);
        EXPECT_TRUE(parsed.is_object() && parsed.contains("ok")) << one << "\n -> " << reply;
    }
    EXPECT_GT(replies, 300);
    EXPECT_TRUE(daemon_->process().running());
    EXPECT_THAT(ask(request("ping")), HasSubstr("pong"));
}

}  // namespace
}  // namespace nimbra::e2e
