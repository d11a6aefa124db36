// What nimbrad accepts from a client before it changes anything.

#include "nimbrad/argument_checks.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace nimbra::nimbrad {
namespace {

struct Case {
    const char* what;
    std::function<std::optional<std::string>(std::string_view)> check;
    std::vector<std::string> accepted, refused;
};

TEST(ArgumentChecks, AcceptWhatTheClientSendsAndRefuseEverythingElse) {
    const std::vector<Case> cases{
        {"switch", refuseSwitch, {"on", "off"}, {"", "ON", "yes", "on "}},
        {"dns mode",
         refuseDnsMode,
         {"cloudflare", "adguard", "nextdns", "custom", "off"},
         {"", "google", "Cloudflare"}},
        {"dns upstream",
         refuseDnsUpstream,
         {"9.9.9.9", "2620:fe::fe", "9.9.9.9:5353", "[2620:fe::fe]:53",
          "https://dns.example.com/dns-query", "https://1.1.1.1/dns-query"},
         {"", "dns.example.com", "9.9.9.9:0", "9.9.9.9:70000", "http://dns.example.com", "https://",
          "https://dns example.com/", "9.9.9.9; rm -rf /",
          // this machine: the forwarder itself, or a resolver that may ask it in turn
          "127.0.0.1", "127.0.0.53", "127.1.2.3:5353", "0.0.0.0", "::1", "[::]:53",
          "::ffff:127.0.0.1", "https://127.0.0.1/dns-query", "https://[::1]:8443/q"}},
        {"nextdns profile",
         refuseNextDnsProfile,
         {"abc123", "A1B2C3"},
         {"", "abc-123", "abc/123", std::string(33, 'a')}},
        {"nat64 prefix",
         refuseNat64Prefix,
         {"none", "2602:fc59:b0:64::", "64:ff9b::", "64:ff9b:0:0:0:0:"},
         {"", "2602:fc59:b0:64", "64:ff9b::1::", "zz::", "10.0.0.0"}},
        {"exclusion",
         refuseExclusion,
         {"10.0.0.0/8", "192.168.1.10", "2001:db8::/32", "::1", "example.com", "a-b.example.co.uk",
          "example.com."},
         {"", "10.0.0.0/33", "2001:db8::/129", "10.0.0.300", "localhost", "-bad.example.com",
          "exa mple.com", "example..com", "10.0.0.0/8 ; reboot", std::string(64, 'a') + ".com"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& value : c.accepted) EXPECT_EQ(c.check(value), std::nullopt) << value;
        for (const auto& value : c.refused) {
            const auto reason = c.check(value);
            ASSERT_TRUE(reason.has_value()) << value;
            EXPECT_FALSE(reason->empty());
        }
    }
}

TEST(ArgumentChecks, ARefusalShowsTheValueShortAndPrintable) {
    const auto reason = refuseSwitch(std::string("x\n\x01") + std::string(100, 'y'));
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->find('\n'), std::string::npos);
    EXPECT_LT(reason->size(), 120u);
}

}  // namespace
}  // namespace nimbra::nimbrad
