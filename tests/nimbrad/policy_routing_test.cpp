// Policy routing against the real kernel, in a network namespace of the test's own (the host's
// routing is never touched): where traffic goes while it is up, and that remove(), a refused
// batch and recovery after a crash each leave `ip rule` and every routing table byte-identical
// (a crash is played after the most a journal can hold: ranges and live exclusions).

#include "nimbrad/policy_routing.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "nimbrad/china_ranges.hpp"
#include "support/private_network.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

using nimbra::testing::inPrivateNetwork;

using namespace std::chrono_literals;

TEST(RouteJournal, ReadsBackWhatItWroteAndNothingElse) {
    using Type = RouteEntry::Type;
    const std::vector<RouteEntry> entries{
        {RouteEntry::Kind::route, 51820, 0, *Cidr::parse("0.0.0.0/0"), Type::unicast, "nimbra0"},
        {RouteEntry::Kind::route, 51820, 0, *Cidr::parse("1.0.1.0/24"), Type::throwing, {}},
        {RouteEntry::Kind::rule, 254, 5200, *Cidr::parse("10.1.2.3/8"), Type::unicast, {}},
        {RouteEntry::Kind::rule, 254, 5200, *Cidr::parse("2001:db8::7"), Type::unicast, {}},
        {RouteEntry::Kind::route, 51820, 0, *Cidr::parse("::/0"), Type::unreachable, {}},
        {RouteEntry::Kind::route, 51820, 99, *Cidr::parse("0.0.0.0/0"), Type::unreachable, {}},
        {RouteEntry::Kind::rule, 254, 5205, *Cidr::parse("::/0"), Type::unicast, {}, 1852964865},
    };
    const auto text = formatRouteJournal(entries);
    EXPECT_EQ(text,
              "nimbrad-routes 3\n"
              "route 51820 unicast 0.0.0.0/0 nimbra0\n"
              "route 51820 throw 1.0.1.0/24\n"
              "rule 5200 254 10.0.0.0/8\n"
              "rule 5200 254 2001:db8::7/128\n"
              "route 51820 unreachable ::/0\n"
              "route 51820 unreachable 0.0.0.0/0 metric 99\n"
              "rule 5205 254 ::/0 fwmark 1852964865\n");
    EXPECT_EQ(parseRouteJournal(text), (RouteJournal{entries, {}}));

    // What a daemon from before throw routes left behind.
    EXPECT_EQ(parseRouteJournal("nimbrad-routes 1\n"
                                "route 51820 unicast 0.0.0.0/0 nimbra0\n"
                                "rule 5200 254 10.0.0.0/8\n"
                                "route 51820 unreachable ::/0\n"),
              (RouteJournal{{entries[0], entries[2], entries[4]}, {}}));

    // Lines this code would not have written are set aside as they are; the rest still reads.
    EXPECT_EQ(parseRouteJournal("nimbrad-routes 1\n"
                                "route 51820 unicast 0.0.0.0/0 a/b\n"
                                "route 51820 throw 1.0.1.0/24\n"  // throw came with version 2
                                "route 51820 unreachable ::/0 metric 0\n"
                                "rule 5200 254 10.0.0.0/8\n"
                                "rule 5200 254 10.0.0.0/8 fwmark 0\n"
                                "rule 5200 254 10.0.0.0/8"),  // torn
              (RouteJournal{{entries[2]},
                            {"route 51820 unicast 0.0.0.0/0 a/b", "route 51820 throw 1.0.1.0/24",
                             "route 51820 unreachable ::/0 metric 0",
                             "rule 5200 254 10.0.0.0/8 fwmark 0", "rule 5200 254 10.0.0.0/8"}}));
    for (const std::string foreign : {"", "nimbrad-routes 4\n", "rule 5200 254 10.0.0.0/8\n"}) {
        EXPECT_EQ(parseRouteJournal(foreign), std::nullopt) << foreign;
    }
}

// `ip` with the words of `line` as its arguments.
Subprocess::RunResult ip(const std::string& line) {
    std::istringstream words(line);
    Subprocess::Options options;
    options.argv = {"ip"};
    options.argv.insert(options.argv.end(), std::istream_iterator<std::string>(words), {});
    return Subprocess::run(std::move(options), 10s);
}

void mustIp(const std::string& line) {
    const auto result = ip(line);
    ASSERT_TRUE(result.status.succeeded()) << "ip " << line << ": " << result.err;
}

// nimbra0 stands for the tunnel (a veth end, since containers often lack /dev/net/tun), lan0
// for the Wi-Fi with the default routes. No automatic link-local addresses, so nothing changes
// the tables behind the test's back.
void addTunnel() {
    for (const char* line :
         {"link add nimbra0 type veth peer name nimbra0p", "link set nimbra0 addrgenmode none",
          "link set nimbra0p addrgenmode none", "link set nimbra0p up", "link set nimbra0 up",
          "addr add 172.31.0.2/24 dev nimbra0"}) {
        mustIp(line);
    }
}

// The kernel adds the local and multicast IPv6 routes of a veth only once both of its ends have
// carrier, a moment after `ip` returns: wait until the tables stop changing, so a snapshot taken
// now is the "before" a later one is compared with.
std::string snapshot();
void waitUntilSettled() {
    std::string last = snapshot();
    for (int stable = 0, tries = 0; stable < 3 && tries < 200; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string now = snapshot();
        stable = now == last ? stable + 1 : 0;
        last = std::move(now);
    }
}

void buildWorld(bool tunnelHasIpv6) {
    addTunnel();
    for (const char* line :
         {"link set lo up", "link add lan0 type veth peer name lan0p",
          "link set lan0 addrgenmode none", "link set lan0p addrgenmode none", "link set lan0p up",
          "link set lan0 up", "addr add 192.168.50.2/24 dev lan0",
          "addr add 2001:db8:50::2/64 dev lan0 nodad",
          "route add default via 192.168.50.1 dev lan0",
          "-6 route add default via 2001:db8:50::1 dev lan0"}) {
        mustIp(line);
    }
    if (tunnelHasIpv6) mustIp("addr add 2001:db8:77::2/64 dev nimbra0 nodad");
    waitUntilSettled();
}

std::string snapshot() {
    std::string all;
    for (const char* table :
         {"rule", "-6 rule", "route show table all", "-6 route show table all"}) {
        const auto result = ip(table);
        EXPECT_TRUE(result.status.succeeded()) << result.err;
        all += result.out + "--\n";
    }
    return all;
}

// The device `ip route get` picks for `address`, or the error it prints.
std::string routeTo(const std::string& address) {
    const auto result = ip("route get " + address);
    if (!result.status.succeeded()) return result.err;
    const auto at = result.out.find(" dev ");
    return at == std::string::npos
               ? result.out
               : result.out.substr(at + 5, result.out.find(' ', at + 5) - at - 5);
}

RoutingPlan plan() {
    RoutingPlan p;
    p.endpoints = {"198.51.100.7", "2606:4700:103::2"};
    p.bypass = standardBypassCidrs();
    p.bypass.insert(p.bypass.end(), {"203.0.113.0/24", "2001:db8:50::/64", "198.51.100.7/32"});
    return p;
}

// Each test runs in a network namespace of its own with the world built in it.
class PolicyRoutingTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    }
    static void inWorld(bool tunnelHasIpv6, const std::function<void()>& body) {
        ASSERT_EQ(inPrivateNetwork([&] {
                      buildWorld(tunnelHasIpv6);
                      body();
                  }),
                  "");
    }

    const testing::TempDir dir_;
    const std::filesystem::path journal_ = dir_ / "routes";
};

// Whether or not the tunnel carries IPv6 (where a tunnelled IPv6 address goes while up).
TEST_F(PolicyRoutingTest, RoutesThroughTheTunnelAndTakesItAllBack) {
    for (const bool tunnelHasIpv6 : {false, true}) {
        SCOPED_TRACE(tunnelHasIpv6 ? "tunnel with IPv6" : "tunnel without IPv6");
        const std::string outsideIpv6 = tunnelHasIpv6 ? "nimbra0" : "No route to host";
        inWorld(tunnelHasIpv6, [&] {
            const std::string before = snapshot();
            PolicyRouting routing(plan(), journal_);
            routing.install();
            EXPECT_TRUE(std::filesystem::exists(journal_));
            EXPECT_EQ(routeTo("1.1.1.1"), "nimbra0");
            EXPECT_EQ(routeTo("203.0.113.9"), "lan0") << "user exclusion";
            EXPECT_EQ(routeTo("198.51.100.7"), "lan0") << "endpoint";
            EXPECT_EQ(routeTo("192.168.50.9"), "lan0") << "local network";
            EXPECT_EQ(routeTo("100.100.1.1"), "lan0") << "carrier-grade NAT";
            EXPECT_EQ(routeTo("2606:4700:103::2"), "lan0") << "IPv6 endpoint";
            EXPECT_EQ(routeTo("2001:db8:50::9"), "lan0") << "local IPv6 network";
            EXPECT_NE(routeTo("2606:4700::1111").find(outsideIpv6), std::string::npos)
                << routeTo("2606:4700::1111");

            routing.remove();
            EXPECT_FALSE(routing.installed());
            EXPECT_FALSE(std::filesystem::exists(journal_));
            EXPECT_EQ(snapshot(), before);
        });
    }
}

TEST_F(PolicyRoutingTest, RecoversAfterTheTunnelVanishedWithItsRoutes) {
    inWorld(false, [&] {
        // The world as it will be once the tunnel has gone (the device and its routes).
        mustIp("link del nimbra0");
        waitUntilSettled();
        const std::string before = snapshot();
        addTunnel();

        PolicyRouting routing(plan(), journal_);
        routing.install();
        // The tunnel's process died and the kernel dropped the device and its routes: traffic
        // is held back, not sent around the tunnel, while the LAN still works.
        mustIp("link del nimbra0");
        EXPECT_NE(routeTo("192.0.2.80").find("No route to host"), std::string::npos);
        EXPECT_EQ(routeTo("192.168.50.9"), "lan0");
        // It came back with a new device: its routes return, the rules never left.
        addTunnel();
        routing.reattachTunnel();
        routing.reattachTunnel();  // routes already there are fine
        EXPECT_EQ(routeTo("192.0.2.80"), "nimbra0");
        mustIp("link del nimbra0");
        // Then the daemon died too. Its rules are still there until the next start.
        EXPECT_NE(snapshot().find("lookup 51820"), std::string::npos);
        EXPECT_GT(PolicyRouting::recoverFromJournal(journal_), 0u);
        EXPECT_EQ(snapshot(), before);
    });
}

TEST_F(PolicyRoutingTest, RecoveryTakesBackOnlyWhatItCouldHaveAdded) {
    inWorld(false, [&] {
        const std::string before = snapshot();
        mustIp("rule add to 203.0.113.0/24 lookup main priority 5200");
        // Beside that one rule of ours, a journal naming the rule that looks up the local table,
        // the main table's default route, the rule into the main table and a line that is no
        // entry at all.
        std::ofstream(journal_) << "nimbrad-routes 2\n"
                                   "rule 0 255 0.0.0.0/0\n"
                                   "route 254 unicast 0.0.0.0/0 lan0\n"
                                   "rule 32766 254 0.0.0.0/0\n"
                                   "rule 5200 254 203.0.113.0/24\n"
                                   "rule 5200 254 \x1b]0;" +
                                       std::string(200, 'x') + "\n";
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(PolicyRouting::recoverFromJournal(journal_), 1u);
        const std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(snapshot(), before);
        EXPECT_FALSE(std::filesystem::exists(journal_));
        // One line for each refused entry, none carrying the terminal escape or the whole line.
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
        EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
        EXPECT_EQ(log.find(std::string(100, 'x')), std::string::npos) << log;
    });
}

// Per-app routing switches the catch-all by packet mark, live and in both directions, and leaves
// no trace; a crashed daemon's marked rules are taken back from the journal.
TEST_F(PolicyRoutingTest, AppMarksDecideWhoUsesTheTunnel) {
    inWorld(true, [&] {
        const std::string before = snapshot();
        const auto marked = [](const std::string& address, std::uint32_t mark) {
            return routeTo(address + " mark " + std::to_string(mark));
        };
        struct Row {
            std::optional<AppRouteTarget> appDefault;
            const char *unmarked, *direct, *proxy;
        };
        RoutingPlan withApps = plan();
        withApps.appDefault = AppRouteTarget::proxy;
        PolicyRouting routing(withApps, journal_);
        routing.install();
        for (const Row& row : {Row{AppRouteTarget::proxy, "nimbra0", "lan0", "nimbra0"},
                               Row{AppRouteTarget::direct, "lan0", "lan0", "nimbra0"},
                               Row{std::nullopt, "nimbra0", "nimbra0", "nimbra0"},
                               Row{AppRouteTarget::direct, "lan0", "lan0", "nimbra0"},
                               Row{AppRouteTarget::proxy, "nimbra0", "lan0", "nimbra0"}}) {
            routing.setAppDefault(row.appDefault);
            SCOPED_TRACE(!row.appDefault                            ? "off"
                         : *row.appDefault == AppRouteTarget::proxy ? "proxy by default"
                                                                    : "direct by default");
            for (const char* address : {"1.1.1.1", "2606:4700::1111"}) {
                EXPECT_EQ(routeTo(address), row.unmarked) << address;
                EXPECT_EQ(marked(address, kDirectMark), row.direct) << address;
                EXPECT_EQ(marked(address, kProxyMark), row.proxy) << address;
            }
            EXPECT_EQ(marked("203.0.113.9", kProxyMark), "lan0") << "exclusions hold for all";
            EXPECT_EQ(readRouteJournal(journal_), (RouteJournal{routing.entries(), {}}));
        }
        routing.remove();
        EXPECT_EQ(snapshot(), before);

        routing.setAppDefault(AppRouteTarget::direct);
        routing.install();
        EXPECT_EQ(routeTo("1.1.1.1"), "lan0");
        EXPECT_GT(PolicyRouting::recoverFromJournal(journal_), 0u);
        EXPECT_EQ(snapshot(), before);
    });
}

// The journal lists exactly what is in the kernel: our table holds `throwRoutes` throw routes
// and the journal says the same as the object.
void expectJournalled(const PolicyRouting& routing, const std::filesystem::path& journal,
                      std::size_t throwRoutes) {
    EXPECT_EQ(readRouteJournal(journal), (RouteJournal{routing.entries(), {}}));
    std::size_t inKernel = 0;
    for (const char* family : {"-4", "-6"}) {
        const auto shown = ip(std::string(family) + " route show table 51820");
        for (std::size_t at = shown.out.find("throw "); at != std::string::npos;
             at = shown.out.find("throw ", at + 1)) {
            ++inKernel;
        }
    }
    EXPECT_EQ(inKernel, throwRoutes);
}

TEST_F(PolicyRoutingTest, ExclusionsChangeWhileUp) {
    inWorld(true, [&] {
        const std::string before = snapshot();
        PolicyRouting routing(plan(), journal_);
        routing.install();
        const std::string up = snapshot();

        struct Step {
            const char* network;
            const char* address;
        };
        for (const Step step :
             {Step{"192.0.2.0/24", "192.0.2.9"}, Step{"2001:db8:99::/48", "2001:db8:99::9"},
              Step{"9.9.9.9", "9.9.9.9"}}) {
            const Cidr network = *Cidr::parse(step.network);
            EXPECT_EQ(routeTo(step.address), "nimbra0") << step.network;
            EXPECT_TRUE(routing.addBypass(network));
            EXPECT_EQ(routeTo(step.address), "lan0") << step.network;
            expectJournalled(routing, journal_, 0);
            const std::string added = snapshot();
            EXPECT_FALSE(routing.addBypass(network));
            EXPECT_EQ(snapshot(), added);

            EXPECT_TRUE(routing.removeBypass(network));
            EXPECT_EQ(routeTo(step.address), "nimbra0") << step.network;
            EXPECT_FALSE(routing.removeBypass(network));
            expectJournalled(routing, journal_, 0);
            EXPECT_EQ(snapshot(), up);
        }

        // An exclusion made while up outlives the tunnel's going down and up again; the
        // endpoint and the local networks cannot be taken out of the main table.
        EXPECT_TRUE(routing.addBypass(*Cidr::parse("192.0.2.0/24")));
        for (const char* kept : {"198.51.100.7", "192.168.0.0/16", "2001:db8:50::/64"}) {
            EXPECT_EQ(routing.removeBypass(*Cidr::parse(kept)),
                      std::string(kept) == "2001:db8:50::/64")
                << kept;
        }
        EXPECT_EQ(routeTo("198.51.100.7"), "lan0");
        EXPECT_EQ(routeTo("192.168.50.9"), "lan0");
        routing.remove();
        EXPECT_EQ(snapshot(), before);
        routing.install();
        EXPECT_EQ(routeTo("192.0.2.9"), "lan0");
        EXPECT_EQ(routeTo("2001:db8:50::9"), "nimbra0") << "taken out while up";
        routing.remove();
        EXPECT_EQ(snapshot(), before);

        // While down, a change only waits for the next install().
        EXPECT_TRUE(routing.removeBypass(*Cidr::parse("192.0.2.0/24")));
        EXPECT_FALSE(routing.removeBypass(*Cidr::parse("192.0.2.0/24")));
        EXPECT_TRUE(routing.addBypass(*Cidr::parse("203.0.113.128/25")));
        EXPECT_EQ(snapshot(), before);
        routing.install();
        EXPECT_EQ(routeTo("192.0.2.9"), "nimbra0");
        EXPECT_EQ(routeTo("203.0.113.200"), "lan0");
        routing.remove();
        EXPECT_EQ(snapshot(), before);
    });
}

TEST_F(PolicyRoutingTest, DirectRangesGoAroundTheTunnelAndLeaveNoTrace) {
    const auto china = loadChinaRanges().networks;
    ASSERT_GT(china.size(), 5000u);
    inWorld(true, [&] {
        const std::string before = snapshot();
        std::size_t added = 0;
        {
            PolicyRouting routing(plan(), journal_);
            routing.install();
            const std::string up = snapshot();

            routing.setDirectRanges(china);
            expectJournalled(routing, journal_, china.size());
            for (const char* direct : {"114.114.114.114", "1.0.1.1", "240e::1"}) {
                EXPECT_EQ(routeTo(direct), "lan0") << direct;
            }
            for (const char* tunnelled : {"8.8.8.8", "1.1.1.1", "2606:4700::1111"}) {
                EXPECT_EQ(routeTo(tunnelled), "nimbra0") << tunnelled;
            }
            const std::string withChina = snapshot();
            routing.setDirectRanges(china);
            EXPECT_EQ(snapshot(), withChina) << "the same list changes nothing";

            // A different list: only the difference moves, and the new one is what routes.
            const std::vector<Cidr> other{*Cidr::parse("8.8.8.0/24"), china[0], china.back()};
            routing.setDirectRanges(other);
            expectJournalled(routing, journal_, other.size());
            EXPECT_EQ(routeTo("8.8.8.8"), "lan0");
            EXPECT_EQ(routeTo("114.114.114.114"), "nimbra0");

            routing.setDirectRanges({});
            expectJournalled(routing, journal_, 0);
            EXPECT_EQ(snapshot(), up);
            routing.remove();
            EXPECT_EQ(snapshot(), before);

            // Up with the ranges in the plan and an exclusion made live; then the daemon dies.
            routing.setDirectRanges(china);
            routing.install();
            EXPECT_EQ(snapshot(), withChina);
            routing.addBypass(*Cidr::parse("192.0.2.0/24"));
            routing.setDirectRanges(other);
            expectJournalled(routing, journal_, other.size());
            added = routing.entries().size();
        }
        EXPECT_EQ(PolicyRouting::recoverFromJournal(journal_), added);
        EXPECT_EQ(snapshot(), before);
        EXPECT_FALSE(std::filesystem::exists(journal_));
        EXPECT_EQ(PolicyRouting::recoverFromJournal(journal_), 0u);
    });
}

// A batch the kernel refuses part of, at install or as a live change, is rolled back whole.
TEST_F(PolicyRoutingTest, RollsBackABatchTheKernelRefusesPartOf) {
    inWorld(false, [&] {
        const std::string world = snapshot();
        PolicyRouting routing(plan(), journal_);
        // Someone else's rule, identical to one of ours: the kernel refuses ours as a duplicate.
        mustIp("rule add to 203.0.113.0/24 lookup main priority 5200");
        const std::string other = snapshot();
        EXPECT_THROW(routing.install(), RoutingError);
        EXPECT_FALSE(routing.installed());
        EXPECT_FALSE(std::filesystem::exists(journal_));
        EXPECT_EQ(snapshot(), other) << "the other rule stays, ours are gone";
        mustIp("rule del to 203.0.113.0/24 lookup main priority 5200");

        routing.install();
        const std::vector<Cidr> first{*Cidr::parse("5.5.0.0/16"), *Cidr::parse("2001:db8:5::/48")};
        routing.setDirectRanges(first);
        // Someone else's rule and route, identical to ones we are about to add.
        mustIp("rule add to 192.0.2.0/24 lookup main priority 5200");
        mustIp("route add throw 9.9.9.0/24 table 51820");
        const std::string before = snapshot();

        EXPECT_THROW(routing.addBypass(*Cidr::parse("192.0.2.0/24")), RoutingError);
        EXPECT_EQ(snapshot(), before);
        expectJournalled(routing, journal_, first.size() + 1);

        // Additions and deletions in one batch, the refused addition sorted last so that the
        // deletions have been done by then: the first list comes back, none of the new stays.
        std::vector<Cidr> second;
        for (int i = 0; i < 200; ++i) {
            second.push_back(*Cidr::parse("7.7." + std::to_string(i) + ".0/24"));
        }
        second.push_back(*Cidr::parse("9.9.9.0/24"));
        EXPECT_THROW(routing.setDirectRanges(second), RoutingError);
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(routing.plan().direct, first);
        expectJournalled(routing, journal_, first.size() + 1);

        mustIp("rule del to 192.0.2.0/24 lookup main priority 5200");
        mustIp("route del throw 9.9.9.0/24 table 51820");
        EXPECT_EQ(routeTo("5.5.5.5"), "lan0");
        routing.remove();
        EXPECT_EQ(snapshot(), world);
    });
}

}  // namespace
}  // namespace nimbra::nimbrad
