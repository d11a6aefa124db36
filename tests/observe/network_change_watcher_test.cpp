// The network-change watcher against the real kernel, inside a network namespace of the test's
// own (so the host's network is never touched): which changes count, one callback per burst,
// nothing after stop(); and its filter against datagrams the kernel never sends.

#include "observe/network_change_watcher.hpp"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "base/subprocess.hpp"
#include "support/private_network.hpp"
#include "support/run_until.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using nimbra::testing::inPrivateNetwork;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;
using Clock = std::chrono::steady_clock;

constexpr auto kDebounce = 100ms;
// How long the loop runs to show that something did NOT call back; any longer wait only makes a
// wrong callback likelier to show.
constexpr auto kQuiet = 600ms;
constexpr auto kPatience = 20s;

// Runs `ip -batch`, which makes all the given changes within one process, microseconds apart.
void ipBatch(const std::vector<std::string>& lines) {
    const nimbra::testing::TempDir dir;
    std::string batch;
    for (const auto& line : lines) batch += line + "\n";
    std::ofstream(dir / "batch") << batch;
    Subprocess::Options options;
    options.argv = {"ip", "-batch", (dir / "batch").string()};
    const auto result = Subprocess::run(std::move(options), 10s);
    EXPECT_TRUE(result.status.succeeded()) << batch << result.err;
}

// The loopback link up and a link d0 up with 10.9.0.1/24 and 2001:db8::1/64, as a laptop's Wi-Fi
// would be; no default route yet. d0 is one end of a veth pair rather than a dummy link: the
// dummy driver is a module that containers often cannot load, veth is nearly always there.
void buildWorld() {
    ipBatch({"link set lo up", "link add d0 type veth peer name d0peer", "link set d0peer up",
             "link set d0 up", "addr add 10.9.0.1/24 dev d0",
             "addr add 2001:db8::1/64 dev d0 nodad"});
}

struct Case {
    const char* name;
    std::vector<std::string> before;  // batch lines run before the watcher starts
    std::vector<std::string> change;  // batch lines run while it watches
    int callbacks;                    // what `change` should give
};

class WatcherCase : public ::testing::TestWithParam<Case> {};

TEST_P(WatcherCase, CallsBackOncePerBurstOfChangesThatCount) {
    const Case& c = GetParam();
    const std::string failure = inPrivateNetwork([&] {
        buildWorld();
        if (!c.before.empty()) ipBatch(c.before);

        CoreRuntime runtime(1);
        std::vector<Clock::time_point> calls;
        NetworkChangeWatcher watcher(runtime.executor(), kDebounce,
                                     [&] { calls.push_back(Clock::now()); });
        watcher.start();
        ASSERT_TRUE(watcher.listening());

        const auto changedAt = Clock::now();
        ipBatch(c.change);
        if (c.callbacks > 0) {
            ASSERT_TRUE(runUntil(
                runtime, [&] { return !calls.empty(); }, kPatience));
            EXPECT_GE(calls.front() - changedAt, kDebounce) << "called back before the debounce";
        }
        runFor(runtime, kQuiet);
        EXPECT_EQ(static_cast<int>(calls.size()), c.callbacks);

        // A change that counts still calls back afterwards: the watcher was listening all along,
        // and a new IPv4 address is such a change.
        ipBatch({"addr add 10.77.0.1/32 dev d0"});
        ASSERT_TRUE(runUntil(
            runtime, [&] { return static_cast<int>(calls.size()) > c.callbacks; }, kPatience));
        runFor(runtime, kQuiet);
        EXPECT_EQ(static_cast<int>(calls.size()), c.callbacks + 1);
    });
    ASSERT_EQ(failure, "");
}

INSTANTIATE_TEST_SUITE_P(
    NetworkChangeWatcher, WatcherCase,
    ::testing::Values(
        Case{"RemovedAddress", {}, {"addr del 10.9.0.1/24 dev d0"}, 1},
        Case{"NewIpv6Address", {}, {"addr add 2001:db8:1::1/64 dev d0 nodad"}, 1},
        Case{"BurstOfFiveAddressChanges",
             {},
             {"addr add 10.9.2.1/24 dev d0", "addr add 10.9.3.1/24 dev d0",
              "addr add 10.9.4.1/24 dev d0", "addr del 10.9.2.1/24 dev d0",
              "addr del 10.9.0.1/24 dev d0"},
             1},
        Case{"NewDefaultRoute", {}, {"route add default via 10.9.0.254 dev d0"}, 1},
        Case{"NewIpv6DefaultRoute", {}, {"route add ::/0 via 2001:db8::fffe dev d0"}, 1},
        Case{"RemovedDefaultRoute",
             {"route add default via 10.9.0.254 dev d0"},
             {"route del default"},
             1},
        Case{"SubnetRoute", {}, {"route add 192.0.2.0/24 via 10.9.0.254 dev d0"}, 0},
        Case{"DefaultRouteOfAnotherTable", {}, {"route add default dev d0 table 100"}, 0},
        Case{"LoopbackAddress", {}, {"addr add 127.0.0.2/8 dev lo"}, 0},
        Case{"NeighbourChurn",
             {},
             {"neigh add 10.9.0.7 lladdr 02:00:00:00:00:07 dev d0", "neigh del 10.9.0.7 dev d0"},
             0},
        // A new link brings only link-local addresses and routes of its own subnet.
        Case{"LinkComingUp",
             {},
             {"link add d1 type veth peer name d1peer", "link set d1peer up", "link set d1 up"},
             0},
        // The kernel announces a known address again when its lifetimes are refreshed, as a
        // router advertisement does; the address was there before the watcher started.
        Case{"LifetimeRefreshOfAKnownAddress",
             {"addr add 10.9.5.1/24 dev d0 valid_lft 1000 preferred_lft 1000"},
             {"addr change 10.9.5.1/24 dev d0 valid_lft 2000 preferred_lft 2000"},
             0}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(NetworkChangeWatcher, StopForgetsAPendingBurstAndStartListensAgain) {
    const std::string failure = inPrivateNetwork([&] {
        buildWorld();
        CoreRuntime runtime(1);
        int calls = 0;
        // Long enough that the loop reads the change well before the burst would end.
        constexpr auto debounce = 1s;
        NetworkChangeWatcher watcher(runtime.executor(), debounce, [&] { ++calls; });
        watcher.start();
        watcher.start();  // a second start keeps the one subscription

        ipBatch({"addr add 10.9.1.1/24 dev d0"});
        runFor(runtime, 100ms);
        watcher.stop();
        EXPECT_FALSE(watcher.listening());
        ipBatch({"addr add 10.9.2.1/24 dev d0"});
        runFor(runtime, debounce + kQuiet);
        EXPECT_EQ(calls, 0);

        watcher.start();
        ASSERT_TRUE(watcher.listening());
        ipBatch({"addr add 10.9.3.1/24 dev d0"});
        ASSERT_TRUE(runUntil(
            runtime, [&] { return calls > 0; }, kPatience));
        runFor(runtime, kQuiet);
        EXPECT_EQ(calls, 1);
    });
    ASSERT_EQ(failure, "");
}

// Datagrams whose lengths lie: the filter must stay inside them and count nothing.
TEST(NetworkChangeWatcherFilter, IgnoresMessagesThatOverrunTheirDatagram) {
    struct Address {
        nlmsghdr header;
        ifaddrmsg body;
        rtattr attribute;
        unsigned char address[4];
    };
    auto valid = [] {
        Address message{};
        message.header.nlmsg_len = sizeof(Address);
        message.header.nlmsg_type = RTM_NEWADDR;
        message.body.ifa_family = AF_INET;
        message.body.ifa_prefixlen = 24;
        message.body.ifa_index = 2;
        message.attribute.rta_type = IFA_LOCAL;
        message.attribute.rta_len = RTA_LENGTH(4);
        message.address[0] = 10;
        message.address[3] = 1;
        return message;
    };
    auto bytesOf = [](const Address& message, std::size_t size) {
        std::vector<std::byte> bytes(sizeof message);
        std::memcpy(bytes.data(), &message, sizeof message);
        bytes.resize(size);
        return bytes;
    };

    // The well-formed message counts, which shows the broken ones below fail for their flaw.
    NetworkChangeWatcher::Filter control;
    EXPECT_TRUE(control.changed(bytesOf(valid(), sizeof(Address))));

    Address longerThanSent = valid();
    Address attributeOverruns = valid();
    attributeOverruns.attribute.rta_len = 200;
    Address headerOnly = valid();
    headerOnly.header.nlmsg_len = sizeof(nlmsghdr);
    const std::vector<std::pair<const char*, std::vector<std::byte>>> broken = {
        {"cut inside the header", bytesOf(valid(), sizeof(nlmsghdr) - 4)},
        {"cut inside the body", bytesOf(longerThanSent, sizeof(nlmsghdr) + 4)},
        {"attribute longer than the message", bytesOf(attributeOverruns, sizeof(Address))},
        {"no room for the body", bytesOf(headerOnly, sizeof(Address))},
        {"empty", {}},
    };
    for (const auto& [name, bytes] : broken) {
        NetworkChangeWatcher::Filter filter;
        EXPECT_FALSE(filter.changed(bytes)) << name;
        EXPECT_FALSE(filter.seed(bytes)) << name;
    }
}

}  // namespace
}  // namespace nimbra
