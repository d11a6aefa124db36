// Reading the provider's trace document in the shapes it really arrives in, and the verdict on
// what it reported.

#include "diagnostics/trace_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

namespace nimbra {
namespace {

const std::string kEmptyIp = "empty exit ip from cdn-cgi/trace";

TraceProbe fetched(std::string ip, std::string loc, std::string colo, std::string warp) {
    return {true, std::move(ip), std::move(loc), std::move(colo), std::move(warp), std::nullopt};
}

// Lines are text::splitLines's, every kind of line break included (tests/base).
TEST(ParseTrace, ReadsEachLineAsKeyEqualsValue) {
    const std::pair<std::string, TraceProbe> cases[] = {
        {"fl=1\nh=www.cloudflare.com\nip=104.28.1.1\nts=0\ncolo=SJC\nloc=US\nwarp=on\n"
         "gateway=off\n",
         fetched("104.28.1.1", "US", "SJC", "on")},
        {"ip=2606:4700::1", fetched("2606:4700::1", "", "", "")},
        // Cut at the first "=": later ones belong to the value.
        {"ip=1.2.3.4==\nloc=a=b=c\ncolo==SJC\n", fetched("1.2.3.4==", "a=b=c", "=SJC", "")},
        // A later line wins, but an empty value is skipped and clears nothing.
        {"ip=1.1.1.1\nwarp=off\nloc=DE\nip=2.2.2.2\nwarp=on\nwarp=\nip=\n",
         fetched("2.2.2.2", "DE", "", "on")},
        // Keys and values are taken as they are: " warp" is another key.
        {"ip= 1.2.3.4 \nloc=\tUS\ncolo=SJC \nwarp=On\n warp=off\n",
         fetched(" 1.2.3.4 ", "\tUS", "SJC ", "On")},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(parseTrace(text), expected) << text;
}

TEST(ParseTrace, WithoutAnIpTheTraceIsAFailureWhateverElseItHolds) {
    for (const std::string text :
         {"loc=US\ncolo=SJC\nwarp=on\n", "", "ip=\nloc=US\n", "ip\nwarp=on\n", "IP=1.2.3.4\n",
          " ip=1.2.3.4\n", "=ip=1.2.3.4\n"}) {
        EXPECT_EQ(parseTrace(text), TraceProbe::failed(kEmptyIp)) << text;
    }
}

TEST(TraceVerdict, OkNeedsAnIpAndWarpOnInAnyCaseOrNoWarpKeyWarpOnNeedsTheKey) {
    const std::tuple<std::string, bool, bool> cases[] = {
        // clang-format off
        {"ip=1.2.3.4\nloc=US\n", true, false}, {"ip=1.2.3.4\nwarp=on\n", true, true},
        {"ip=1.2.3.4\nwarp=On\n", true, true}, {"ip=1.2.3.4\nwarp=off\n", false, false},
        {"ip=1.2.3.4\nwarp=on \n", false, false}, {"ip=1.2.3.4\nwarp=onn\n", false, false},
        {"warp=on\n", false, false},
        // clang-format on
    };
    for (const auto& [text, ok, warpOn] : cases) {
        EXPECT_EQ(parseTrace(text).ok(), ok) << text;
        EXPECT_EQ(parseTrace(text).warpOn(), warpOn) << text;
    }
}

}  // namespace
}  // namespace nimbra
