#include "proxy/host_port.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>

namespace nimbra::hostport {
namespace {

TEST(SplitHostPort, BracketedHostsUseTheTextInsideTheBrackets) {
    EXPECT_EQ(splitHostPort("[::1]:993", 443), (HostPort{"::1", 993}));
    EXPECT_EQ(splitHostPort("[fe80::1]", 443), (HostPort{"fe80::1", 443}));
    // A port that does not parse falls back to the default but keeps the bracketed host.
    EXPECT_EQ(splitHostPort("[::1]:", 443), (HostPort{"::1", 443}));
    EXPECT_EQ(splitHostPort("[::1]:65536", 443), (HostPort{"::1", 443}));
    EXPECT_EQ(splitHostPort("[::1]x993", 443), (HostPort{"::1", 443}));
    EXPECT_EQ(splitHostPort("[::1]:0", 443), (HostPort{"::1", 0}));
    // No closing bracket: not bracketed at all, and the colons keep it whole.
    EXPECT_EQ(splitHostPort("[::1:993", 443), (HostPort{"[::1:993", 443}));
}

TEST(SplitHostPort, SplitsAtTheLastColonOnlyForASingleColonAndAValidPort) {
    EXPECT_EQ(splitHostPort("example.com", 443), (HostPort{"example.com", 443}));
    EXPECT_EQ(splitHostPort("example.com:8443", 443), (HostPort{"example.com", 8443}));
    EXPECT_EQ(splitHostPort("1.2.3.256:80", 443), (HostPort{"1.2.3.256", 80}));
    EXPECT_EQ(splitHostPort("host:0", 80), (HostPort{"host", 0}));
    EXPECT_EQ(splitHostPort("host:65535", 80), (HostPort{"host", 65535}));
    EXPECT_EQ(splitHostPort("host:00080", 443), (HostPort{"host", 80}));
}

TEST(SplitHostPort, AnythingElseIsTheWholeTextWithTheDefaultPort) {
    EXPECT_EQ(splitHostPort("a:b:c", 443), (HostPort{"a:b:c", 443}));
    EXPECT_EQ(splitHostPort("::1", 443), (HostPort{"::1", 443}));
    EXPECT_EQ(splitHostPort("2001:db8::1:8080", 80), (HostPort{"2001:db8::1:8080", 80}));
    EXPECT_EQ(splitHostPort("host:", 80), (HostPort{"host:", 80}));
    EXPECT_EQ(splitHostPort("host:65536", 80), (HostPort{"host:65536", 80}));
    EXPECT_EQ(splitHostPort("host:+80", 80), (HostPort{"host:+80", 80}));
    EXPECT_EQ(splitHostPort("host: 80", 80), (HostPort{"host: 80", 80}));
    EXPECT_EQ(splitHostPort("", 80), (HostPort{"", 80}));
}

TEST(Ports, ParsePortAcceptsDigitsFromZeroTo65535Only) {
    EXPECT_EQ(parsePort("0"), std::optional<std::uint16_t>(0));
    EXPECT_EQ(parsePort("65535"), std::optional<std::uint16_t>(65535));
    EXPECT_EQ(parsePort("0443"), std::optional<std::uint16_t>(443));
    EXPECT_EQ(parsePort("65536"), std::nullopt);
    EXPECT_EQ(parsePort("99999999999999999999999"), std::nullopt);
    EXPECT_EQ(parsePort(""), std::nullopt);
    EXPECT_EQ(parsePort("-1"), std::nullopt);
    EXPECT_EQ(parsePort("8o"), std::nullopt);
}

TEST(Ports, UsablePortsRunFromOneTo65535) {
    EXPECT_FALSE(isUsablePort(0));
    EXPECT_FALSE(isUsablePort(-1));
    EXPECT_TRUE(isUsablePort(1));
    EXPECT_TRUE(isUsablePort(65535));
    EXPECT_FALSE(isUsablePort(65536));
}

TEST(ParseIPv4, AcceptsFourDecimalOctetsAfterDroppingEmptyPieces) {
    using Octets = std::array<std::uint8_t, 4>;
    EXPECT_EQ(parseIPv4("1.2.3.4"), Octets({1, 2, 3, 4}));
    EXPECT_EQ(parseIPv4("255.0.010.255"), Octets({255, 0, 10, 255}));
    EXPECT_EQ(parseIPv4("1..2.3.4"), Octets({1, 2, 3, 4}));
    EXPECT_EQ(parseIPv4("1.2.3.4."), Octets({1, 2, 3, 4}));
    EXPECT_EQ(parseIPv4("1.2.3.256"), std::nullopt);
    EXPECT_EQ(parseIPv4("1..2.3"), std::nullopt);
    EXPECT_EQ(parseIPv4("1.2.3.4.5"), std::nullopt);
    EXPECT_EQ(parseIPv4("1.2.3.-4"), std::nullopt);
    EXPECT_EQ(parseIPv4("example.com"), std::nullopt);
    EXPECT_EQ(parseIPv4(""), std::nullopt);
}

}  // namespace
}  // namespace nimbra::hostport
