#include "proxy/host_port.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>

namespace nimbra::hostport {
namespace {

TEST(HostPort, SplitsOnlyABracketedHostOrASingleColonBeforeAValidPort) {
    struct Case {
        const char* text;
        HostPort expected;  // with 443 as the default port
    } cases[] = {
        {"example.com", {"example.com", 443}},
        {"example.com:08443", {"example.com", 8443}},
        {"[::1]:993", {"::1", 993}},
        {"[fe80::1]", {"fe80::1", 443}},
        // A bracketed host keeps its brackets' content even when the port does not parse.
        {"[::1]x993", {"::1", 443}},
        {"[::1]:65536", {"::1", 443}},
        // Anything else is the whole text with the default port: an unclosed bracket, more than
        // one colon, a port that does not parse.
        {"[::1:993", {"[::1:993", 443}},
        {"2001:db8::1:8080", {"2001:db8::1:8080", 443}},
        {"host:65536", {"host:65536", 443}},
        {"host:+80", {"host:+80", 443}},
    };
    for (const Case& c : cases) EXPECT_EQ(splitHostPort(c.text, 443), c.expected) << c.text;
}

TEST(HostPort, PortsAreDigitsUpTo65535AndUsableFromOne) {
    EXPECT_EQ(parsePort("0"), std::optional<std::uint16_t>(0));
    EXPECT_EQ(parsePort("65535"), std::optional<std::uint16_t>(65535));
    for (const char* bad : {"65536", "99999999999999999999999", "", "-1"})
        EXPECT_EQ(parsePort(bad), std::nullopt) << bad;
    EXPECT_FALSE(isUsablePort(0) || isUsablePort(-1) || isUsablePort(65536));
    EXPECT_TRUE(isUsablePort(1) && isUsablePort(65535));
}

TEST(HostPort, IPv4IsFourDecimalOctetsAfterDroppingEmptyPieces) {
    using Octets = std::array<std::uint8_t, 4>;
    EXPECT_EQ(parseIPv4("255.0.010.255"), Octets({255, 0, 10, 255}));
    EXPECT_EQ(parseIPv4(".1..2.3.4."), Octets({1, 2, 3, 4}));
    for (const char* bad : {"1.2.3.256", "1..2.3", "1.2.3.4.5", "1.2.3.-4", ""})
        EXPECT_EQ(parseIPv4(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace nimbra::hostport
