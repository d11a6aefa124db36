// The mainland-China list as read from the installed geoip-database: the networks everyone knows
// are in it and others are not, and the list is one a routing table can take as it is.

#include "nimbrad/china_ranges.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

Cidr cidr(const char* text) {
    return *Cidr::parse(text);
}

TEST(RangeToCidrs, SpellsEachRangeWithTheFewestNetworks) {
    struct Case {
        const char* first;
        const char* last;
        std::vector<const char*> expected;
    };
    const std::vector<Case> cases{
        {"10.0.0.0", "10.0.0.255", {"10.0.0.0/24"}},
        {"10.0.0.1", "10.0.0.1", {"10.0.0.1/32"}},
        {"10.0.0.1", "10.0.0.6", {"10.0.0.1/32", "10.0.0.2/31", "10.0.0.4/31", "10.0.0.6/32"}},
        {"1.0.1.0", "1.0.3.255", {"1.0.1.0/24", "1.0.2.0/23"}},
        {"0.0.0.0", "255.255.255.255", {"0.0.0.0/0"}},
        {"255.255.255.254", "255.255.255.255", {"255.255.255.254/31"}},
        {"2001:db8::", "2001:db8:3:ffff:ffff:ffff:ffff:ffff", {"2001:db8::/46"}},
        {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", {"::/0"}},
        {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe",
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff",
         {"ffff:ffff:ffff:ffff:ffff:ffff:ffff:fffe/127"}},
    };
    for (const auto& c : cases) {
        std::vector<Cidr> expected;
        for (const char* text : c.expected) expected.push_back(cidr(text));
        EXPECT_EQ(rangeToCidrs(cidr(c.first), cidr(c.last)), expected) << c.first;
    }
}

// The addresses a network starts and ends with, as bytes compared in order.
std::pair<std::array<unsigned char, 16>, std::array<unsigned char, 16>> bounds(const Cidr& n) {
    auto last = n.bytes;
    for (unsigned bit = n.prefix; bit < n.addressLength() * 8; ++bit) {
        last[bit / 8] = static_cast<unsigned char>(last[bit / 8] | (0x80u >> (bit % 8)));
    }
    return {n.bytes, last};
}

bool listed(const std::vector<Cidr>& networks, const char* address) {
    const Cidr a = cidr(address);
    return std::any_of(networks.begin(), networks.end(), [&](const Cidr& n) {
        return n.family == a.family && bounds(n).first <= a.bytes && a.bytes <= bounds(n).second;
    });
}

TEST(ChinaRanges, ListsMainlandChinaFromTheInstalledDatabase) {
    const auto ranges = loadChinaRanges();
    const auto& networks = ranges.networks;
    for (const char* inChina :
         {"1.0.1.1", "114.114.114.114", "223.5.5.5", "240e::1", "2400:da00::6666"}) {
        EXPECT_TRUE(listed(networks, inChina)) << inChina;
    }
    // Nor the IPv4-mapped and 6to4 spellings of Chinese IPv4 addresses, which the IPv6 database
    // also places in China.
    for (const char* elsewhere :
         {"8.8.8.8", "1.1.1.1", "192.168.1.1", "2001:4860:4860::8888", "::ffff:114.114.114.114",
          "::114.114.114.114", "2002:7272:7272::1"}) {
        EXPECT_FALSE(listed(networks, elsewhere)) << elsewhere;
    }

    const auto firstV6 = std::find_if(networks.begin(), networks.end(),
                                      [](const Cidr& n) { return n.family == AF_INET6; });
    const auto v4 = firstV6 - networks.begin();
    const auto v6 = networks.end() - firstV6;
    EXPECT_TRUE(
        std::all_of(firstV6, networks.end(), [](const Cidr& n) { return n.family == AF_INET6; }));
    // China holds a few hundred million IPv4 addresses in some thousands of blocks, and its IPv6
    // space in some hundreds.
    EXPECT_GT(v4, 2000);
    EXPECT_LT(v4, 20000);
    EXPECT_GT(v6, 100);
    EXPECT_LT(v6, 20000);

    // Sorted and disjoint within each family, and no two neighbours that one network would do.
    for (auto it = networks.begin(); it + 1 != networks.end(); ++it) {
        if (it + 1 == firstV6) continue;
        EXPECT_LT(bounds(*it).second, bounds(*(it + 1)).first) << it->text();
    }

    // One line: which files, how many networks, and the package they came with.
    EXPECT_THAT(ranges.source,
                ::testing::MatchesRegex(
                    std::to_string(v4) +
                    " IPv4 networks from /usr/share/GeoIP/GeoIP.dat \\([^\n]*"
                    "/usr/share/GeoIP/GeoIPv6.dat \\([^\n]*; package geoip-database [^\n]*"));

    const testing::TempDir dir;
    {
        std::ofstream(dir / "status") << "Package: geoip-bin\nVersion: 1.6.12-10\n\n"
                                      << "Package: geoip-database\nStatus: install ok installed\n"
                                      << "Version: 20191224-1\n\n";
    }
    GeoIpDatabases databases;
    databases.packageStatus = dir / "status";
    EXPECT_NE(loadChinaRanges(databases).source.find("; package geoip-database 20191224-1"),
              std::string::npos);
}

TEST(ChinaRanges, SaysClearlyWhenADatabaseIsMissingOrNotOne) {
    const testing::TempDir dir;
    { std::ofstream(dir / "empty.dat") << "not a database"; }
    for (const GeoIpDatabases& databases :
         {GeoIpDatabases{dir / "none.dat", "/usr/share/GeoIP/GeoIPv6.dat"},
          GeoIpDatabases{"/usr/share/GeoIP/GeoIP.dat", dir / "none.dat"},
          GeoIpDatabases{"/usr/share/GeoIP/GeoIPv6.dat", "/usr/share/GeoIP/GeoIPv6.dat"},
          GeoIpDatabases{dir / "empty.dat", "/usr/share/GeoIP/GeoIPv6.dat"}}) {
        EXPECT_THAT([&] { loadChinaRanges(databases); },
                    ::testing::ThrowsMessage<GeoIpError>(::testing::HasSubstr(".dat")))
            << databases.ipv4 << " " << databases.ipv6;
    }
}

}  // namespace
}  // namespace nimbra::nimbrad
