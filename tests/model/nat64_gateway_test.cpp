// The exit gateway's pure parts: the NAT64 address that embeds the provider's IPv4 endpoint, and
// which gateway the fastest choice takes from a set of measured latencies.

#include "model/nat64_gateway.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "base/nat64_address.hpp"
#include "support/scoped_env.hpp"

namespace nimbra {
namespace {

using nimbra::testing::ScopedEnv;

TEST(Nat64Address, Ipv4BecomesTwoLowerCaseHexGroupsWithoutLeadingZeros) {
    EXPECT_EQ(ipv4AsHexGroups("255.255.255.255"), "ffff:ffff");
    EXPECT_EQ(ipv4AsHexGroups("10.0.0.1"), "a00:1");
    EXPECT_EQ(ipv4AsHexGroups("0.0.0.0"), "0:0");
    for (const char* bad : {"", "1.2.3", "1.2.3.256", "::1", "one.example", " 1.2.3.4"}) {
        EXPECT_EQ(ipv4AsHexGroups(bad), std::nullopt) << bad;
    }
}

TEST(Nat64Address, ThePrefixGetsTheColonsItLacksAndNothingElse) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"2602:fc59:b0:64::", "2602:fc59:b0:64::a29f:c601"},
        {"2602:fc59:b0:64:", "2602:fc59:b0:64::a29f:c601"},
        {"2602:fc59:b0:64", "2602:fc59:b0:64::a29f:c601"},
        {"64:ff9b:0:0:0:0:", "64:ff9b:0:0:0:0:a29f:c601"},
        {"64:ff9b:0:0:0:0", "64:ff9b:0:0:0:0:a29f:c601"},
        {"", std::nullopt},
        {"1:2:3:4:5:6:7::", std::nullopt},
        {"2602:fc59:b0:64::/96", std::nullopt},
        {"fe80::%eth0", std::nullopt},
        {"2602:fc59:b0:64:::", std::nullopt},
    };
    for (const auto& [prefix, address] : cases) {
        EXPECT_EQ(nat64Address(prefix, "162.159.198.1"), address) << prefix;
    }
    EXPECT_EQ(nat64Address("2602:fc59:b0:64::", "2606:4700:103::1"), std::nullopt);
}

TEST(FastestGateway, LowestAnsweringLatencyWinsAndTiesGoToDirect) {
    ScopedEnv prefix("NIMBRA_FREMONT_NAT64_PREFIX", "2602:fc59:b0:64::");
    const std::string direct = rawValue(NAT64Gateway::direct);
    const std::string fremont = rawValue(NAT64Gateway::usFremont);
    struct Case {
        std::map<std::string, int> latencies;
        std::optional<NAT64Gateway> fastest;
    };
    const Case cases[] = {
        {{{direct, 40}, {fremont, 12}}, NAT64Gateway::usFremont},
        {{{direct, 25}, {fremont, 25}}, NAT64Gateway::direct},
        {{{direct, -1}, {fremont, 300}}, NAT64Gateway::usFremont},
        {{{direct, 0}, {fremont, 1}}, NAT64Gateway::usFremont},    // below 1 ms is no answer
        {{{fremont, 7}}, NAT64Gateway::usFremont},                 // direct not measured
        {{{direct, 9}, {"2001:db8::", 1}}, NAT64Gateway::direct},  // not one of ours
        {{{direct, -1}, {fremont, -1}}, std::nullopt},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(fastestGateway(cases[i].latencies), cases[i].fastest) << "case " << i;
    }
}

}  // namespace
}  // namespace nimbra
