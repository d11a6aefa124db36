#include "proxy/socks5_wire.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace nimbra::socks5 {
namespace {

Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Bytes operator+(Bytes a, std::string_view text) {
    a.insert(a.end(), text.begin(), text.end());
    return a;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Reads `stream` the way a socket caller would: exactly as many bytes as the parser asks for,
// until it is done, malformed or the stream runs dry. Returns the last step and the bytes taken.
template <class Parse>
std::pair<Step, std::size_t> readThrough(Parse parse, const Bytes& stream) {
    std::size_t have = 0;
    for (;;) {
        Step step = parse(ByteView(stream).first(have));
        if (step.status != Status::needMore || have + step.count > stream.size())
            return {step, have};
        have += step.count;
    }
}

const Bytes kTrailing = bytes({0x16, 0x03, 0x01});  // the start of a TLS ClientHello

TEST(Socks5Client, HandshakeBytes) {
    EXPECT_EQ(clientGreeting(), (std::array<std::uint8_t, 3>{5, 1, 0}));
    EXPECT_EQ(connectRequest("example.com", 443),
              bytes({5, 1, 0, 3, 11}) + "example.com" + bytes({0x01, 0xBB}));
    EXPECT_EQ(connectRequest("1.2.3.4", 80), bytes({5, 1, 0, 1, 1, 2, 3, 4, 0, 80}));
    // Not dotted quads, so they go as names; IPv6 literals too.
    EXPECT_EQ(connectRequest("1.2.3.256", 1), bytes({5, 1, 0, 3, 9}) + "1.2.3.256" + bytes({0, 1}));
    EXPECT_EQ(connectRequest("::1", 993), bytes({5, 1, 0, 3, 3}) + "::1" + bytes({0x03, 0xE1}));
}

TEST(Socks5Client, HostNamesUpTo255BytesFit) {
    std::string longest(255, 'a');
    EXPECT_EQ(connectRequest(longest, 65535),
              bytes({5, 1, 0, 3, 255}) + longest + bytes({255, 255}));
    EXPECT_EQ(connectRequest(std::string(256, 'a'), 443), std::nullopt);
}

TEST(Socks5Client, MethodSelectionAcceptsOnlyNoAuthentication) {
    EXPECT_EQ(parseMethodSelection({}), (Step{Status::needMore, 2}));
    EXPECT_EQ(parseMethodSelection(bytes({5})), (Step{Status::needMore, 1}));
    EXPECT_EQ(parseMethodSelection(bytes({5, 0})), (Step{Status::done, 2}));
    EXPECT_EQ(parseMethodSelection(bytes({5, 0xFF})).status, Status::malformed);
    EXPECT_EQ(parseMethodSelection(bytes({5, 2})).status, Status::malformed);
    EXPECT_EQ(parseMethodSelection(bytes({4, 0})).status, Status::malformed);
}

TEST(Socks5Client, ConnectReplyIsReadUpToItsBoundAddressAndNoFurther) {
    Bytes v4 = bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x1F, 0x90});
    Bytes v6 = bytes({5, 0, 0, 4}) + Bytes(16, 0xAB) + bytes({0, 80});
    Bytes name = bytes({5, 0, 0, 3, 4}) + "host" + bytes({0, 80});
    Bytes emptyName = bytes({5, 0, 0, 3, 0, 0, 80});
    Bytes oddReserved = bytes({5, 0, 0x7F, 1, 0, 0, 0, 0, 0, 0});
    for (const Bytes* reply : {&v4, &v6, &name, &emptyName, &oddReserved}) {
        auto [step, taken] = readThrough(parseConnectReply, *reply + kTrailing);
        EXPECT_EQ(step, (Step{Status::done, reply->size()}));
        EXPECT_EQ(taken, reply->size());
    }
    // The steps a caller sees for a name: the head, the length byte, then name and port.
    EXPECT_EQ(parseConnectReply(ByteView(name).first(2)), (Step{Status::needMore, 2}));
    EXPECT_EQ(parseConnectReply(ByteView(name).first(4)), (Step{Status::needMore, 1}));
    EXPECT_EQ(parseConnectReply(ByteView(name).first(5)), (Step{Status::needMore, 6}));
    EXPECT_EQ(parseConnectReply(ByteView(v6).first(4)), (Step{Status::needMore, 18}));
}

TEST(Socks5Client, ConnectReplyRejections) {
    for (const Bytes& reply : {bytes({4, 0, 0, 1}), bytes({5, 1, 0, 1}), bytes({5, 5, 0, 1}),
                               bytes({5, 0, 0, 2}), bytes({5, 0, 0, 0})}) {
        auto [step, taken] = readThrough(parseConnectReply, reply + Bytes(32, 0));
        EXPECT_EQ(step.status, Status::malformed);
        EXPECT_EQ(taken, 4u);
    }
}

TEST(Socks5Server, GreetingReadsTheMethodListWhateverItHolds) {
    EXPECT_EQ(parseGreeting(bytes({5})), (Step{Status::needMore, 1}));
    EXPECT_EQ(parseGreeting(bytes({5, 1})), (Step{Status::needMore, 1}));
    EXPECT_EQ(parseGreeting(bytes({5, 0})), (Step{Status::done, 2}));
    auto [step, taken] = readThrough(parseGreeting, bytes({5, 2, 0, 2}) + kTrailing);
    EXPECT_EQ(step, (Step{Status::done, 4}));
    EXPECT_EQ(taken, 4u);
    // Only username/password offered: still done, and we answer "no authentication".
    EXPECT_EQ(parseGreeting(bytes({5, 1, 2})), (Step{Status::done, 3}));
    EXPECT_EQ(methodSelection(), (std::array<std::uint8_t, 2>{5, 0}));
    EXPECT_EQ(parseGreeting(bytes({4, 1, 0})).status, Status::malformed);
}

RequestStep readRequest(const Bytes& stream, std::size_t* taken = nullptr) {
    auto parse = [](ByteView b) { return parseRequest(b).step; };
    auto [step, have] = readThrough(parse, stream);
    if (taken) *taken = have;
    RequestStep result = parseRequest(ByteView(stream).first(have));
    EXPECT_EQ(result.step, step);
    return result;
}

TEST(Socks5Server, RequestDestinations) {
    std::size_t taken = 0;
    auto v4 = readRequest(bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x4E, 0x1F}) + kTrailing, &taken);
    EXPECT_EQ(taken, 10u);
    EXPECT_EQ(v4.request.dest, (Dest{"127.0.0.1", 19999, false}));

    auto name =
        readRequest(bytes({5, 1, 0, 3, 11}) + "example.com" + bytes({1, 187}) + kTrailing, &taken);
    EXPECT_EQ(taken, 18u);
    EXPECT_EQ(name.request.dest, (Dest{"example.com", 443, false}));

    auto v6 = readRequest(
        bytes({5, 1, 0, 4, 0x20, 0x01, 0x0D, 0xB8}) + Bytes(11, 0) + bytes({1, 0, 80}) + kTrailing,
        &taken);
    EXPECT_EQ(taken, 22u);
    EXPECT_EQ(v6.request.dest, (Dest{"2001:db8:0:0:0:0:0:1", 80, true}));
}

TEST(Socks5Server, RequestsWithoutADestinationStopEarly) {
    std::size_t taken = 0;
    auto unknownType = readRequest(bytes({5, 1, 0, 9, 1, 2, 3, 4, 5, 6}), &taken);
    EXPECT_EQ(unknownType.step.status, Status::done);
    EXPECT_EQ(taken, 4u);
    EXPECT_EQ(unknownType.request.dest, std::nullopt);

    auto emptyName = readRequest(bytes({5, 1, 0, 3, 0, 0, 80}), &taken);
    EXPECT_EQ(emptyName.step, (Step{Status::done, 5}));
    EXPECT_EQ(emptyName.request.dest, std::nullopt);

    auto notUtf8 = readRequest(bytes({5, 1, 0, 3, 2, 0xC3, 0x28, 0, 80}), &taken);
    EXPECT_EQ(notUtf8.step, (Step{Status::done, 9}));
    EXPECT_EQ(notUtf8.request.dest, std::nullopt);

    EXPECT_EQ(parseRequest(bytes({4, 1, 0, 1})).step.status, Status::malformed);
}

TEST(Socks5Server, RefusalsFollowTheDecisionOrder) {
    constexpr std::uint16_t kListen = 19999;
    auto refusal = [](const Bytes& request) {
        return refusalFor(readRequest(request).request, kListen);
    };
    Bytes loopV4 = bytes({0, 1, 127, 0, 0, 1, 0x4E, 0x1F});  // after version and command
    Bytes v6 = bytes({4}) + Bytes(15, 0) + bytes({1, 0, 80});
    // No destination beats an unsupported command.
    EXPECT_EQ(refusal(bytes({5, 2, 0, 9})), ReplyCode::generalFailure);
    EXPECT_EQ(refusal(bytes({5, 3, 0, 3, 0})), ReplyCode::generalFailure);
    // An unsupported command beats IPv6 and the loop check.
    EXPECT_EQ(refusal(bytes({5, 3, 0}) + v6), ReplyCode::commandNotSupported);
    EXPECT_EQ(refusal(bytes({5, 2}) + loopV4), ReplyCode::commandNotSupported);
    EXPECT_EQ(refusal(bytes({5, 1, 0}) + v6), ReplyCode::addressTypeNotSupported);
    EXPECT_EQ(refusal(bytes({5, 1}) + loopV4), ReplyCode::notAllowed);
    EXPECT_EQ(refusal(bytes({5, 1, 0, 3, 9}) + "LocalHost" + bytes({0x4E, 0x1F})),
              ReplyCode::notAllowed);
    EXPECT_EQ(refusal(bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x4E, 0x20})), std::nullopt);
    EXPECT_EQ(refusal(bytes({5, 1, 0, 3, 11}) + "example.com" + bytes({0x4E, 0x1F})), std::nullopt);
}

TEST(Socks5Server, IsLoopNeedsTheOwnPortAndALoopbackOrWildcardHost) {
    for (const char* host : {"127.0.0.1", "localhost", "LOCALHOST", "::1", "0.0.0.0"}) {
        EXPECT_TRUE(isLoop(host, 1080, 1080)) << host;
        EXPECT_FALSE(isLoop(host, 1081, 1080)) << host;
    }
    EXPECT_FALSE(isLoop("127.0.0.2", 1080, 1080));
    EXPECT_FALSE(isLoop("[::1]", 1080, 1080));
}

TEST(Socks5Server, RepliesAreTenBytesWithAZeroIPv4Address) {
    EXPECT_EQ(reply(ReplyCode::succeeded),
              (std::array<std::uint8_t, 10>{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reply(ReplyCode::notAllowed),
              (std::array<std::uint8_t, 10>{5, 2, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(reply(ReplyCode::connectionRefused)[1], 5);
    EXPECT_EQ(reply(ReplyCode::commandNotSupported)[1], 7);
    EXPECT_EQ(reply(ReplyCode::addressTypeNotSupported)[1], 8);
    EXPECT_EQ(reply(ReplyCode::generalFailure)[1], 1);
}

}  // namespace
}  // namespace nimbra::socks5
