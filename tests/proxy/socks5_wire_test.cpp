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

using Parse = Step (*)(ByteView);
Step requestStep(ByteView received) {
    return parseRequest(received).step;
}

// Reads `stream` the way the services do: exactly as many bytes as the parser asks for, until it
// is done, malformed or the stream runs dry. Returns the last step and the bytes taken.
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

// The relay's and the gateway's tests read a granted reply naming a host, a refusal, greetings
// and requests (good and of the wrong version) over real connections, with bytes following them.
TEST(Socks5Wire, EveryMessageIsReadToItsEndAndNoFurther) {
    struct Case {
        Parse parse;
        Bytes message;
        Status status;
        std::size_t taken;  // the message's length when done; where it was judged otherwise
    } cases[] = {
        {parseMethodSelection, bytes({5, 0}), Status::done, 2},
        {parseMethodSelection, bytes({5, 2}), Status::malformed, 2},
        {parseConnectReply, bytes({5, 0, 0, 1, 10, 0, 0, 1, 0x1F, 0x90}), Status::done, 10},
        {parseConnectReply, bytes({5, 0, 0, 4}) + Bytes(16, 0xAB) + bytes({0, 80}), Status::done,
         22},
        {parseConnectReply, bytes({5, 0, 0, 3, 0, 0, 80}), Status::done, 7},
        {parseConnectReply, bytes({4, 0, 0, 1}), Status::malformed, 4},
        {parseConnectReply, bytes({5, 0, 0, 0}), Status::malformed, 4},
    };
    for (const Case& c : cases) {
        auto [step, taken] = readThrough(c.parse, c.message + kTrailing + Bytes(32, 0));
        SCOPED_TRACE(::testing::PrintToString(c.message));
        EXPECT_EQ(step.status, c.status);
        EXPECT_EQ(taken, c.taken);
        if (c.status == Status::done) {
            EXPECT_EQ(step.count, c.taken);
        }
    }
}

// A request for a host name, after the version byte.
Bytes named(int command, std::string_view host, std::uint16_t port) {
    return bytes({5, command, 0, 3, static_cast<int>(host.size())}) + host +
           bytes({port >> 8, port & 0xFF});
}

TEST(Socks5Wire, RequestDestinationsAndTheirRefusalsInDecisionOrder) {
    constexpr std::uint16_t kListen = 19999;  // 4E 1F
    const Bytes v6 = bytes({0, 4, 0x20, 0x01, 0x0D, 0xB8}) + Bytes(11, 0) + bytes({1, 0, 80});
    const Dest v6Dest{"2001:db8:0:0:0:0:0:1", 80, true};
    struct Case {
        Bytes request;
        std::optional<Dest> dest;
        std::optional<ReplyCode> refusal;  // nullopt: dial it
    } cases[] = {
        {bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x4E, 0x1F}), Dest{"127.0.0.1", kListen},
         ReplyCode::notAllowed},
        {bytes({5, 1, 0, 1, 0, 0, 0, 0, 0x4E, 0x1F}), Dest{"0.0.0.0", kListen},
         ReplyCode::notAllowed},
        {named(1, "::1", kListen), Dest{"::1", kListen}, ReplyCode::notAllowed},
        {bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x4E, 0x20}), Dest{"127.0.0.1", 20000}, std::nullopt},
        {bytes({5, 1, 0, 1, 127, 0, 0, 2, 0x4E, 0x1F}), Dest{"127.0.0.2", kListen}, std::nullopt},
        {named(1, "[::1]", kListen), Dest{"[::1]", kListen}, std::nullopt},
        {named(1, "example.com", 443), Dest{"example.com", 443}, std::nullopt},
        // An unsupported command beats IPv6 and the loop check...
        {bytes({5, 3}) + v6, v6Dest, ReplyCode::commandNotSupported},
        {named(2, "localhost", kListen), Dest{"localhost", kListen},
         ReplyCode::commandNotSupported},
        // ...and no destination beats an unsupported command.
        {bytes({5, 2, 0, 9}), std::nullopt, ReplyCode::generalFailure},
        {bytes({5, 3, 0, 3, 0}), std::nullopt, ReplyCode::generalFailure},
        {bytes({5, 1, 0, 3, 2, 0xC3, 0x28, 0, 80}), std::nullopt, ReplyCode::generalFailure},
    };
    for (const Case& c : cases) {
        auto [step, taken] = readThrough(requestStep, c.request + kTrailing);
        ASSERT_EQ(step.status, Status::done);
        const Request request = parseRequest(ByteView(c.request).first(taken)).request;
        EXPECT_EQ(request.dest, c.dest) << ::testing::PrintToString(c.request);
        EXPECT_EQ(refusalFor(request, kListen), c.refusal) << ::testing::PrintToString(c.request);
    }
}

}  // namespace
}  // namespace nimbra::socks5
