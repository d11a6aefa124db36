// nimbrad as root runs it, in the client namespace of the namespace world: the usque stand-in
// makes the tunnel to the provider, the daemon routes the client's traffic and DNS into it. The
// tests speak the daemon's socket protocol (one JSON line per connection) and look at what a
// program in the client namespace sees, and at the routing tables and resolver file it leaves.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "nimbrad_process.hpp"
#include "support/private_cgroup.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Ns = NamespaceWorld::Ns;
using Json = nlohmann::json;

constexpr auto kWait = 60s;

class NimbradE2e : public NimbradWorldTest {
protected:
    void SetUp() override {
        NimbradWorldTest::SetUp();
        if (IsSkipped()) return;
        fs::create_directory(user_);
        Subprocess::Options registration;
        registration.argv = {usque_.string(), "register", "-a", "-c", registrationFile_.string()};
        ASSERT_TRUE(Subprocess::run(std::move(registration), kWait).status.succeeded());
        std::ofstream(user_ / "config.yml")
            << "dns:\n  mode: cloudflare\nhttp2: false\nexcludes: []\n";
        giveToDaemonUser(user_);
    }

    void TearDown() override {
        NimbradWorldTest::TearDown();
        // A usque that outlived a killed daemon holds the client namespace: ours to end.
        for (const pid_t pid : usquePids_) ::kill(pid, SIGKILL);
    }

    void startDaemon(const std::vector<std::string>& environment = {}) {
        NimbradWorldTest::startDaemon(user_ / "config.yml", registrationFile_,
                                      user_ / "nimbrad.log", environment);
    }

    // "start", then wait until the daemon reports the tunnel connected and routed.
    void startTunnel() {
        ASSERT_THAT(daemon_->ask("start", {}), HasSubstr("\"ok\":true"));
        ASSERT_TRUE(eventually([&] { return daemon_->statusSays("ok", true); })) << status().dump();
        usquePids_.push_back(daemon_->usquePid());
    }

    // Per-app routing of the daemon's user's applications, as the client asks for it.
    std::string appRoutes(const std::string& defaultTarget, const std::string& entries) {
        return daemon_->ask("app_routes", {defaultTarget, entries});
    }

    // The files of the user the daemon acts for, in a folder of theirs.
    fs::path user_ = dir_ / "user";
    fs::path registrationFile_ = user_ / "usque-config.json";
    std::vector<pid_t> usquePids_;
};

// A tunnel that carries no IPv6 blocks it: the trace host's IPv6 address, reachable directly
// through the router, must not answer at all. (Through a tunnel that carries IPv6 it answers from
// the provider: tests/e2e/tun_connect_e2e_test.cpp.)
TEST_F(NimbradE2e, Ipv6NeverGoesAroundATunnelWithoutIt) {
    startDaemon({"USQUE_STANDIN_NO_IPV6=1"});
    EXPECT_EQ(world_->warp(true), "off");
    startTunnel();
    EXPECT_THAT(world_->warp(true), StartsWith("no trace"));
    EXPECT_EQ(world_->warp(false), "on");
}

// However the daemon ends -- SIGTERM, or killed and started again -- the routing tables and the
// resolver file are exactly as they were before. (The client's "stop" is the TUN session's end,
// tests/e2e/tun_connect_e2e_test.cpp.)
enum class Ending { Sigterm, SigkillThenRestart };

class NimbradEnds : public NimbradE2e, public ::testing::WithParamInterface<Ending> {};

TEST_P(NimbradEnds, LeaveRoutingAndResolverAsBefore) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = resolver();
    startDaemon();
    startTunnel();
    ASSERT_NE(routing(), routesBefore) << "the tunnel changed nothing";
    // With per-app routing on, so its table, marked rules and sysctl are there to take back.
    ASSERT_EQ(testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
                  const std::string app = "user.slice/user-65534.slice/app-gnome-x-1.scope";
                  cgroups.create(app);
                  EXPECT_THAT(appRoutes("direct", "proxy:" + app), HasSubstr("\"ok\":true"));
                  EXPECT_EQ(status()["app_routes"].size(), 1u) << status().dump();
              }),
              "");

    switch (GetParam()) {
        case Ending::Sigterm: {
            daemon_->process().signal(SIGTERM);
            const auto status = daemon_->process().wait(kWait);
            ASSERT_TRUE(status.has_value());
            EXPECT_EQ(status->code, 0);
            break;
        }
        case Ending::SigkillThenRestart:
            daemon_->process().signal(SIGKILL);
            ASSERT_TRUE(daemon_->process().wait(kWait).has_value());
            startDaemon();
            break;
    }
    // A usque still running after its daemon has gone keeps nimbra0, and the kernel its routes.
    EXPECT_FALSE(world_->run(Ns::client, {"ip", "link", "show", "nimbra0"}).status.succeeded())
        << "nimbra0 is still there";
    EXPECT_EQ(routing(), routesBefore);
    EXPECT_EQ(resolver(), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

INSTANTIATE_TEST_SUITE_P(Endings, NimbradEnds,
                         ::testing::Values(Ending::Sigterm, Ending::SigkillThenRestart),
                         [](const auto& info) {
                             return std::string(
                                 info.param == Ending::Sigterm ? "Sigterm" : "SigkillThenRestart");
                         });

// How many UDP packets to port 9999 arrived in `ns` since countUdpArrivals() (nft counts them).
std::uint64_t udpArrivals(const NamespaceWorld& world, Ns ns) {
    const std::string shown = world.output(ns, {"nft", "list", "chain", "inet", "count", "in"});
    const auto at = shown.find("packets ");
    return at == std::string::npos ? 0 : std::stoull(shown.substr(at + 8));
}

void countUdpArrivals(const NamespaceWorld& world, Ns ns) {
    world.output(ns, {"nft",
                      "add table inet count; add chain inet count in { type filter hook "
                      "prerouting priority 0; }; add rule inet count in udp dport 9999 "
                      "counter"});
}

// Two applications in two units of the user's: each goes where its rule says, a rule changed
// live flips it, "direct" as the default sends unlisted apps around the tunnel and listed
// "proxy" apps through it. While the rules change again and again, an app set to proxy that
// keeps sending never has a packet leave by the LAN.
TEST_F(NimbradE2e, AppsGoWhereTheirRulesSayLiveAndProxyAppsNeverLeakWhileTheyChange) {
    startDaemon();
    startTunnel();
    ASSERT_EQ(testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
                  const std::string slice =
                      "user.slice/user-65534.slice/user@65534.service/app.slice/";
                  // Escaped as systemd escapes a '-' in a desktop id; it reaches nft as it is.
                  const std::string browser = slice + "app-gnome-web\\x2dbrowser-41.scope";
                  const std::string editor = slice + "app-org.kde.editor@7f3a.service";
                  cgroups.create(browser);
                  cgroups.create(editor);
                  EXPECT_EQ(warpIn(browser), "on");
                  EXPECT_EQ(warpIn(editor), "on");

                  ASSERT_THAT(appRoutes("proxy", "direct:" + editor), HasSubstr("\"ok\":true"));
                  EXPECT_EQ(warpIn(browser), "on");
                  EXPECT_EQ(warpIn(editor), "off");
                  ASSERT_THAT(appRoutes("proxy", "direct:" + browser), HasSubstr("\"ok\":true"));
                  EXPECT_EQ(warpIn(browser), "off");
                  EXPECT_EQ(warpIn(editor), "on");
                  ASSERT_THAT(appRoutes("direct", "proxy:" + browser), HasSubstr("\"ok\":true"));
                  EXPECT_EQ(warpIn(browser), "on");
                  EXPECT_EQ(warpIn(editor), "off") << "unlisted";
                  EXPECT_EQ(status()["app_default"], "direct") << status().dump();

                  // A unit that appeared after the rules were sent follows them once they are
                  // sent again.
                  const std::string player = slice + "app-flatpak-org.player-9.scope";
                  cgroups.create(player);
                  EXPECT_EQ(warpIn(player), "off");
                  ASSERT_THAT(appRoutes("direct", "proxy:" + browser + " proxy:" + player),
                              HasSubstr("\"ok\":true"));
                  EXPECT_EQ(warpIn(player), "on");
                  // A restart (the client healing) keeps the set.
                  ASSERT_THAT(daemon_->ask("restart", {}), HasSubstr("\"ok\":true"));
                  ASSERT_TRUE(eventually([&] { return daemon_->statusSays("ok", true); }));
                  usquePids_.push_back(daemon_->usquePid());
                  EXPECT_EQ(warpIn(editor), "off") << "the set was lost in the restart";

                  countUdpArrivals(*world_, Ns::router);
                  countUdpArrivals(*world_, Ns::provider);
                  Subprocess::Options sender =
                      inApp(browser, {"bash", "-c",
                                      std::string("while :; do echo x >/dev/udp/") + kTraceHost +
                                          "/9999; done 2>/dev/null"});
                  sender.output = Subprocess::Output::discard;
                  Subprocess sending = Subprocess::start(std::move(sender));
                  for (int round = 0; round < 40; ++round) {
                      const bool byDefault = round % 2 == 0;
                      ASSERT_THAT(appRoutes(byDefault ? "proxy" : "direct",
                                            byDefault ? "direct:" + editor : "proxy:" + browser),
                                  HasSubstr("\"ok\":true"));
                  }
                  EXPECT_TRUE(eventually([&] { return udpArrivals(*world_, Ns::provider) > 100; }))
                      << "the sender never got through the tunnel";
                  sending.kill();
                  EXPECT_EQ(udpArrivals(*world_, Ns::router), 0u) << "packets left by the LAN";
              }),
              "");
}

// Request lines mangled every which way get a reply (or a hang-up), never a crash. (The malformed
// shapes themselves are the control server's own test, tests/nimbrad.)
TEST_F(NimbradE2e, FuzzedRequestLinesNeverBringItDown) {
    startDaemon();
    std::mt19937 random(20261207);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const std::vector<std::string> seeds = {
        requestLine("ping"),
        requestLine("status"),
        requestLine("exclude", {"10.20.0.0/16"}),
        requestLine("include", {"10.20.0.0/16"}),
        requestLine("dns", {"custom", "9.9.9.9"}),
        requestLine("nat64", {"64:ff9b::/96"}),
        requestLine("chinadirect", {"off"}),
        requestLine("app_routes", {"direct", "proxy:user.slice/user-65534.slice/app-x-1.scope"}),
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
        std::string(1000, '[') + std::string(1000, ']'),
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
        const std::string reply = daemon_->ask(one);
        if (reply.empty()) continue;
        ++replies;
        const Json parsed = Json::parse(reply, nullptr, false);
        EXPECT_TRUE(parsed.is_object() && parsed.contains("ok")) << one << "\n -> " << reply;
    }
    EXPECT_GT(replies, 300);
    EXPECT_TRUE(daemon_->process().running());
    EXPECT_TRUE(daemon_->answering());
}

}  // namespace
}  // namespace nimbra::e2e
