// Reading the provider's trace document, and the verdict on what it reported.

#include "diagnostics/trace_parser.hpp"

#include <gtest/gtest.h>

#include <string>

#include "diagnostics/exit_probe.hpp"

namespace nimbra {
namespace {

const std::string kEmptyIp = "empty exit ip from cdn-cgi/trace";

TEST(ParseTrace, AFullTraceFillsEveryField) {
    const auto probe = parseTrace(
        "fl=1\nh=www.cloudflare.com\nip=104.28.1.1\nts=0\ncolo=SJC\n"
        "loc=US\nwarp=on\ngateway=off\n");
    EXPECT_TRUE(probe.fetched);
    EXPECT_EQ(probe.ip, "104.28.1.1");
    EXPECT_EQ(probe.loc, "US");
    EXPECT_EQ(probe.colo, "SJC");
    EXPECT_EQ(probe.warp, "on");
    EXPECT_FALSE(probe.error.has_value());
}

TEST(ParseTrace, OnlyAnIpIsNeededTheRestStaysEmpty) {
    const auto probe = parseTrace("ip=2606:4700::1");
    EXPECT_TRUE(probe.fetched);
    EXPECT_EQ(probe.ip, "2606:4700::1");
    EXPECT_EQ(probe.loc, "");
    EXPECT_EQ(probe.colo, "");
    EXPECT_EQ(probe.warp, "");
    EXPECT_FALSE(probe.error.has_value());
}

TEST(ParseTrace, WithoutAnIpTheTraceIsAFailureWhateverElseItHolds) {
    for (const std::string text :
         {"loc=US\ncolo=SJC\nwarp=on\n", "", "\n\n", "ip=\nloc=US\n", "ip\nwarp=on\n",
          "IP=1.2.3.4\n", " ip=1.2.3.4\n", "not a trace at all"}) {
        // Not fetched, every field empty, only the error set.
        EXPECT_EQ(parseTrace(text), TraceProbe::failed(kEmptyIp)) << "trace: " << text;
    }
}

TEST(ParseTrace, LinesAreCutAtTheFirstEqualsSign) {
    // Everything after the first "=" is the value, further "=" included.
    EXPECT_EQ(parseTrace("ip=1.2.3.4\nloc=a=b=c\n").loc, "a=b=c");
    EXPECT_EQ(parseTrace("ip=1.2.3.4\ncolo==SJC\n").colo, "=SJC");
    EXPECT_EQ(parseTrace("ip=1.2.3.4==\n").ip, "1.2.3.4==");
}

TEST(ParseTrace, LinesWithAnEmptyKeyOrValueAreIgnored) {
    // A leading "=" leaves no key: the line is skipped, not read as "ip" = "1.2.3.4".
    EXPECT_EQ(parseTrace("=ip=1.2.3.4\n").error, kEmptyIp);
    EXPECT_EQ(parseTrace("=\n=x\n").error, kEmptyIp);

    // A trailing "=" leaves no value: the line is skipped and does not clear an earlier value.
    const auto probe = parseTrace("ip=1.2.3.4\nwarp=on\nwarp=\nloc=US\nloc=\n");
    EXPECT_TRUE(probe.fetched);
    EXPECT_EQ(probe.warp, "on");
    EXPECT_EQ(probe.loc, "US");
    EXPECT_EQ(parseTrace("ip=1.2.3.4\nip=\n").ip, "1.2.3.4");
}

TEST(ParseTrace, ALaterLineWithTheSameKeyWins) {
    const auto probe = parseTrace("ip=1.1.1.1\nwarp=off\nloc=DE\nip=2.2.2.2\nwarp=on\n");
    EXPECT_EQ(probe.ip, "2.2.2.2");
    EXPECT_EQ(probe.warp, "on");
    EXPECT_EQ(probe.loc, "DE");
}

TEST(ParseTrace, ValuesAndKeysAreTakenAsTheyAre) {
    const auto probe = parseTrace("ip= 1.2.3.4 \nloc=\tUS\ncolo=SJC \nwarp=On\n warp=off\n");
    EXPECT_EQ(probe.ip, " 1.2.3.4 ");
    EXPECT_EQ(probe.loc, "\tUS");
    EXPECT_EQ(probe.colo, "SJC ");
    // " warp" is another key, not "warp".
    EXPECT_EQ(probe.warp, "On");
}

TEST(ParseTrace, EveryKindOfLineBreakSeparatesLines) {
    const std::string expectedIp = "9.9.9.9";
    for (const std::string newline :
         {"\n", "\r\n", "\r", "\v", "\f", "\u0085", "\u2028", "\u2029"}) {
        const auto probe =
            parseTrace("ip=" + expectedIp + newline + "loc=NL" + newline + newline + "warp=on");
        EXPECT_TRUE(probe.fetched);
        EXPECT_EQ(probe.ip, expectedIp) << "newline bytes: " << newline.size();
        EXPECT_EQ(probe.loc, "NL") << "newline bytes: " << newline.size();
        EXPECT_EQ(probe.warp, "on") << "newline bytes: " << newline.size();
    }
}

TEST(ParseTrace, ACrLfTraceLeavesNoCarriageReturnInTheValues) {
    const auto probe = parseTrace("fl=1\r\nip=104.28.1.1\r\ncolo=SJC\r\nloc=US\r\nwarp=on\r\n");
    EXPECT_EQ(probe.ip, "104.28.1.1");
    EXPECT_EQ(probe.colo, "SJC");
    EXPECT_EQ(probe.warp, "on");
    EXPECT_TRUE(probe.ok());
}

TEST(ParseTrace, IsReachableThroughTheExitProbe) {
    EXPECT_EQ(ExitProbe::parseTrace("ip=1.2.3.4\nwarp=on\n"), parseTrace("ip=1.2.3.4\nwarp=on\n"));
}

TEST(TraceVerdict, AnIpWithoutAWarpKeyIsOk) {
    const auto probe = parseTrace("ip=1.2.3.4\nloc=US\n");
    EXPECT_TRUE(probe.ok());
    EXPECT_TRUE(probe.healthy());
}

TEST(TraceVerdict, WarpOnIsOkInAnyCase) {
    for (const std::string warp : {"on", "ON", "On"}) {
        const auto probe = parseTrace("ip=1.2.3.4\nwarp=" + warp + "\n");
        EXPECT_TRUE(probe.ok()) << warp;
        EXPECT_TRUE(probe.healthy()) << warp;
    }
}

TEST(TraceVerdict, WarpOffOrAnythingElseIsFetchedButNotOk) {
    for (const std::string warp : {"off", "plus", "on ", "onn"}) {
        const auto probe = parseTrace("ip=1.2.3.4\ncolo=SJC\nwarp=" + warp + "\n");
        EXPECT_TRUE(probe.fetched) << warp;
        EXPECT_EQ(probe.warp, warp);
        EXPECT_FALSE(probe.ok()) << warp;
        EXPECT_FALSE(probe.healthy()) << warp;
    }
}

TEST(TraceVerdict, AFailedProbeIsNeverOk) {
    const auto probe = parseTrace("warp=on\n");
    EXPECT_FALSE(probe.ok());
    EXPECT_FALSE(probe.healthy());
}

}  // namespace
}  // namespace nimbra
