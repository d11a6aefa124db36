#include "daemon/daemon_client.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <functional>
#include <limits>

#include "base/async/cancellation.hpp"
#include "base/unique_fd.hpp"
#include "daemon/daemon_error_of.hpp"
#include "support/fake_daemon.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using testing::daemonErrorOf;
using testing::FakeDaemon;
using testing::FakeReply;
using ::testing::HasSubstr;
using ::testing::Not;
using testing::TempDir;
using ::testing::Throws;
using ::testing::ThrowsMessage;
using ::testing::Truly;
namespace client = DaemonClient;

template <typename Case>
void expectCase(const DaemonError& error, const std::string& message) {
    EXPECT_TRUE(std::holds_alternative<Case>(error.reason())) << error.what();
    EXPECT_EQ(error.message(), message);
}

// Each call is one compact line on a connection of its own. A command's refusal carries the
// daemon's message, or the command's own fallback when the daemon gives none.
TEST(DaemonClientCommands, OneLineEachAndRefusalsCarryTheMessageOrTheFallback) {
    struct Case {
        std::function<void(const std::string& sock)> send;
        std::string bytes;
        std::string fallback;  // empty: a call that does not throw on a refusal
    };
    const std::vector<Case> cases = {
        {[](auto& s) { client::call("stop", {}, s); }, "{\"cmd\":\"stop\"}\n", ""},
        {[](auto& s) { client::isReachable(s); }, "{\"cmd\":\"ping\"}\n", ""},
        {[](auto& s) { client::exclude("10.0.0.0/8", s); },
         "{\"cmd\":\"exclude\",\"args\":[\"10.0.0.0/8\"]}\n", "exclude failed"},
        {[](auto& s) { client::include("例子.cn", s); },
         "{\"cmd\":\"include\",\"args\":[\"例子.cn\"]}\n", "include failed"},
        {[](auto& s) { client::exclude("a\"b\\c", s); },
         "{\"cmd\":\"exclude\",\"args\":[\"a\\\"b\\\\c\"]}\n", "exclude failed"},
        {[](auto& s) { client::setDNS("nextdns", "abc123", s); },
         "{\"cmd\":\"dns\",\"args\":[\"nextdns\",\"abc123\"]}\n", "dns failed"},
        {[](auto& s) { client::setDNS("custom", "", s); },
         "{\"cmd\":\"dns\",\"args\":[\"custom\"]}\n", "dns failed"},
        {[](auto& s) { client::setDNS("cloudflare", std::nullopt, s); },
         "{\"cmd\":\"dns\",\"args\":[\"cloudflare\"]}\n", "dns failed"},
        {[](auto& s) { client::setNAT64("2602:fc59:b0:64::", s); },
         "{\"cmd\":\"nat64\",\"args\":[\"2602:fc59:b0:64::\"]}\n", "nat64 failed"},
        {[](auto& s) { client::setChinaDirect(true, s); },
         "{\"cmd\":\"chinadirect\",\"args\":[\"on\"]}\n", "chinadirect failed"},
        {[](auto& s) { client::setChinaDirect(false, s); },
         "{\"cmd\":\"chinadirect\",\"args\":[\"off\"]}\n", "chinadirect failed"},
        {[](auto& s) { client::command("start", {}, "start failed", s); }, "{\"cmd\":\"start\"}\n",
         "start failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        FakeDaemon daemon;
        const auto sock = daemon.socketPath();
        std::size_t sent = 1;
        if (c.fallback.empty()) {
            c.send(sock);
        } else {
            daemon.script(
                c.bytes.substr(8, c.bytes.find('"', 8) - 8),
                {FakeReply::line(R"({"ok":false})"), FakeReply::line(R"({"ok":false,"msg":null})"),
                 FakeReply::line(R"({"ok":false,"msg":"bad target"})"),
                 FakeReply::line(R"({"ok":true,"msg":"done"})")});
            for (const char* message : {c.fallback.c_str(), c.fallback.c_str(), "bad target"}) {
                expectCase<DaemonError::CommandFailed>(daemonErrorOf([&] { c.send(sock); }),
                                                       message);
            }
            EXPECT_NO_THROW(c.send(sock));
            sent = 4;
        }
        EXPECT_EQ(daemon.requests(), std::vector<std::string>(sent, c.bytes));
        EXPECT_EQ(daemon.connections(), sent);
    }
}

// A socket at `path` that nobody listens on: connecting is refused.
UniqueFd deadSocketAt(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    return fd;
}

TEST(DaemonClientConnect, PathRuleAndConnectFailuresNameTheCause) {
    TempDir dir;
    const std::string base = dir.path().string() + "/";
    // The longest path allowed is 103 bytes; one more is refused before any connect attempt,
    // even though a daemon listens there.
    FakeDaemon longest(base + std::string(103 - base.size(), 's'));
    EXPECT_TRUE(client::call("ping", {}, longest.socketPath()).ok);
    FakeDaemon tooLong(base + std::string(104 - base.size(), 's'));
    expectCase<DaemonError::ConnectFailed>(
        daemonErrorOf([&] { client::call("ping", {}, tooLong.socketPath()); }),
        "sock path too long");
    EXPECT_EQ(tooLong.connections(), 0u);

    const std::string missing = base + "nimbra.sock";
    EXPECT_FALSE(client::isReachable(missing));
    const DaemonError none = daemonErrorOf([&] { client::setChinaDirect(true, missing); });
    expectCase<DaemonError::ConnectFailed>(
        none, "connect " + missing + " failed (errno=2) — install nimbrad first");
    // How the CLI words it for the user is DaemonCommandTest's.

    const std::string dead = base + "dead.sock";
    const UniqueFd keep = deadSocketAt(dead);
    expectCase<DaemonError::ConnectFailed>(daemonErrorOf([&] { client::call("status", {}, dead); }),
                                           "connect " + dead +
                                               " failed (errno=" + std::to_string(ECONNREFUSED) +
                                               ") — install nimbrad first");
}

// The first whole line within the budget is the reply, however it arrives and whatever follows;
// without one, the reply is truncated.
TEST(DaemonClientFraming, OnlyAWholeFirstLineWithinTheBudgetCounts) {
    const std::string big(200'000, 'x');  // several 64 KiB reads
    const std::string truncated;
    const std::vector<std::tuple<std::string, FakeReply, std::string>> cases = {
        {"one write", FakeReply::line(R"({"ok":true,"msg":"hi"})"), "hi"},
        {"byte by byte", FakeReply::split("{\"ok\":true,\"msg\":\"hi\"}\n", 1, 1ms), "hi"},
        {"line then more lines", FakeReply::bytes("{\"ok\":true,\"msg\":\"1\"}\n{\"ok\":false}\nx"),
         "1"},
        {"line then junk, left open",
         FakeReply::bytes("{\"ok\":true,\"msg\":\"1\"}\n{{{").thenSilent(), "1"},
        {"over 64 KiB in pieces",
         FakeReply::split("{\"ok\":true,\"msg\":\"" + big + "\"}\n", 70'000, 2ms), big},
        {"after a delay within the budget",
         FakeReply::line(R"({"ok":true,"msg":"late"})").after(50ms), "late"},
        {"closes at once", FakeReply::bytes(""), truncated},
        {"closes mid-line", FakeReply::bytes(R"({"ok":true})"), truncated},
        {"closes after pieces", FakeReply::split(R"({"ok":true})", 3, 1ms), truncated},
        {"never answers", FakeReply::silent(), truncated},
        {"half a line, then silence", FakeReply::bytes(R"({"ok":)").thenSilent(), truncated},
        {"answers after the budget", FakeReply::line(R"({"ok":true})").after(60s), truncated},
    };
    for (const auto& [name, reply, msg] : cases) {
        SCOPED_TRACE(name);
        FakeDaemon daemon;
        daemon.script("ping", reply);
        const auto budget =
            msg.empty() ? 100ms : client::kReplyBudget;  // the silent ones wait it out
        const auto call = [&] { return client::call("ping", {}, daemon.socketPath(), budget); };
        if (msg.empty()) {
            expectCase<DaemonError::ConnectFailed>(daemonErrorOf(call), "empty/truncated reply");
        } else {
            EXPECT_EQ(call(), (client::Reply{true, msg, {}, {}}));
        }
    }
}

TEST(DaemonReplyDecoding, KeysExactNullIsAbsentRangesKept) {
    EXPECT_EQ(client::decodeReply(R"({"ok":true})"), (client::Reply{true, {}, {}, {}}));
    EXPECT_EQ(client::decodeReply(R"({"ok":false,"msg":null,"status":null,"exitProbes":null})"),
              (client::Reply{false, {}, {}, {}}));
    EXPECT_EQ(client::decodeReply(R"({"ok":true,"status":{"ok":null,"tunnel_on":null,)"
                                  R"("tun_iface":null,"excludes":null,"route_gen":null}})")
                  .status,
              client::Status{});

    const client::Reply full = client::decodeReply(
        R"({"ok":true,"msg":"m","Msg":5,"extra":[1],"status":{"ok":false,"tunnel_on":true,)"
        R"("connected":true,"tun_iface":"nimbra0","tun_err":"","dns_mode":"nextdns",)"
        R"("dns_upstream":"https://dns.nextdns.io/abc","dns_running":true,"dns_err":"e",)"
        R"("listen":"127.0.0.1:53","excludes":["10.0.0.0/8","example.com"],)"
        R"("uptime_sec":-9223372036854775808,"route_gen":18446744073709551615,)"
        R"("version":"1.2.3","china_source":"c","tunIface":7,"app_default":"direct",)"
        R"("app_err":"a"},)"
        R"("exitProbes":[{"id":"fremont","label":"Fremont","rtt_ms":42,"more":null}]})");
    const client::Status status{.ok = false,
                                .tunnelOn = true,
                                .connected = true,
                                .tunIface = "nimbra0",
                                .tunErr = "",
                                .dnsMode = "nextdns",
                                .dnsUpstream = "https://dns.nextdns.io/abc",
                                .dnsRunning = true,
                                .dnsErr = "e",
                                .listen = "127.0.0.1:53",
                                .excludes = std::vector<std::string>{"10.0.0.0/8", "example.com"},
                                .uptimeSec = std::numeric_limits<std::int64_t>::min(),
                                .routeGen = std::numeric_limits<std::uint64_t>::max(),
                                .version = "1.2.3",
                                .chinaSource = "c",
                                .appDefault = "direct",
                                .appErr = "a"};
    EXPECT_EQ(full, (client::Reply{true, "m", status,
                                   std::vector<client::ExitProbe>{{"fremont", "Fremont", 42}}}));
}

TEST(DaemonReplyDecoding, AWrongTypeAnywhereMakesTheReplyUndecodableAndSaysWhere) {
    // One of each: a missing key, a wrong type at the top, nested, in a list, out of range, and
    // no JSON object at all.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"msg":"x"})", R"(required key "ok" is missing)"},
        {R"({"ok":"true"})", R"(key "ok" should be a boolean, found a string)"},
        {R"({"ok":true,"status":{"tun_iface":1}})",
         R"(key "status.tun_iface" should be a string, found the number 1)"},
        {R"({"ok":true,"status":{"excludes":["a",null]}})",
         R"(key "status.excludes[1]" should be a string, found null)"},
        {R"({"ok":true,"status":{"route_gen":-1}})",
         R"(key "status.route_gen" should be an unsigned 64-bit integer, found the number -1)"},
        {R"({"ok":true,"status":{"uptime_sec":1.5}})",
         R"(key "status.uptime_sec" should be a signed 64-bit integer, found the number 1.5)"},
        {R"([{"ok":true}])", "daemon reply should be a JSON object, found an array"},
        {R"({"ok":true} x)", "daemon reply is not valid JSON: "},
    };
    for (const auto& c : cases) {
        EXPECT_THAT([&] { client::decodeReply(c.first); },
                    ThrowsMessage<client::ReplyDecodeError>(
                        AllOf(HasSubstr(c.second), Not(HasSubstr("json.exception")))))
            << c.first;
    }
    // A call that receives such a line surfaces the decoder's error.
    FakeDaemon daemon;
    daemon.script("status", FakeReply::line(R"({"msg":"no ok here"})"));
    EXPECT_THAT([&] { client::call("status", {}, daemon.socketPath()); },
                ThrowsMessage<client::ReplyDecodeError>(
                    std::string("daemon reply: required key \"ok\" is missing")));
}

// "status" reply lines in order; "" closes without a line.
std::vector<FakeReply> replies(const std::vector<std::string>& lines) {
    std::vector<FakeReply> out;
    for (const auto& line : lines) {
        out.push_back(line.empty() ? FakeReply::bytes("") : FakeReply::line(line));
    }
    return out;
}

const client::ReadyWait kFastPolls{1ms, 1s, {}};

TEST(DaemonClientReadiness, ReadyByOkOrByTheTunnelFieldsAndATunnelErrorEndsAtOnce) {
    FakeDaemon daemon;
    const auto wait = [&](const std::vector<std::string>& lines) {
        daemon.script("status", replies(lines));
        const auto before = daemon.requests().size();
        client::Status status = client::waitUntilReady(60s, daemon.socketPath(), kFastPolls);
        return std::make_pair(status, daemon.requests().size() - before);
    };

    auto [byOk, polls] = wait({R"({"ok":true,"status":{"ok":true}})"});
    EXPECT_EQ(byOk.ok, true);
    EXPECT_EQ(polls, 1u);

    auto [byFields, fieldPolls] = wait({
        R"({"ok":true,"status":{"tunnel_on":true,"connected":false}})",
        R"({"ok":true,"status":{"tunnel_on":true,"connected":true,"tun_iface":""}})",
        R"({"ok":true,"status":{"tunnel_on":true,"connected":true,"tun_iface":"nimbra0","tun_err":"old"}})",
        R"({"ok":true,"status":{"tunnel_on":true,"tun_err":"retrying"}})",
        "",
        R"({"ok":false})",
        R"({"ok":true,"status":{"tunnel_on":true,"connected":true,"tun_iface":"nimbra0","tun_err":""}})",
    });
    EXPECT_EQ(byFields.tunIface, "nimbra0");
    EXPECT_EQ(fieldPolls, 7u);

    // An empty interface is ready only when the daemon says ok itself.
    auto [okWithoutIface, okPolls] = wait({
        R"({"ok":true,"status":{"tunnel_on":true,"connected":true,"tun_iface":""}})",
        R"({"ok":true,"status":{"ok":true,"tunnel_on":true,"connected":true,"tun_iface":""}})",
    });
    EXPECT_EQ(okWithoutIface.ok, true);
    EXPECT_EQ(okPolls, 2u);

    for (const std::string tunnel : {R"("tunnel_on":false,)", ""}) {
        daemon.script("status", replies({R"({"ok":true,"status":{)" + tunnel +
                                         R"("tun_err":"usque exited"}})"}));
        const auto before = daemon.requests().size();
        expectCase<DaemonError::CommandFailed>(
            daemonErrorOf([&] { client::waitUntilReady(60s, daemon.socketPath(), kFastPolls); }),
            "usque exited");
        EXPECT_EQ(daemon.requests().size() - before, 1u) << tunnel;
    }
}

TEST(DaemonClientReadiness, TimeOutNamesTheTunnelErrorThenTheInterfaceThenTheWait) {
    const std::string waiting = "timeout waiting for MASQUE connect";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        // A tunnel error wins even when empty, over a connected interface.
        {{R"({"ok":true,"status":{"connected":true,"tun_iface":"nimbra0","tun_err":""}})"}, ""},
        {{R"({"ok":true,"status":{"tunnel_on":true,"tun_err":"handshake failed"}})"},
         "handshake failed"},
        {{R"({"ok":true,"status":{"connected":true,"tun_iface":"nimbra0"}})"}, "nimbra0"},
        {{R"({"ok":true,"status":{"connected":false,"tun_iface":"nimbra0"}})"}, waiting},
        {{R"({"ok":true,"status":{"connected":true}})"}, waiting},
        // A failed exchange keeps the status seen last; a reply without one forgets it.
        {{R"({"ok":true,"status":{"tunnel_on":true,"tun_err":"x"}})", ""}, "x"},
        {{R"({"ok":true,"status":{"tunnel_on":true,"tun_err":"x"}})", R"({"ok":true})"}, waiting},
        {{R"({"ok":true,"status":{"tunnel_on":true,"tun_err":"x"}})", "not json"}, "x"},
    };
    for (const auto& [lines, text] : cases) {
        FakeDaemon daemon;
        daemon.script("status", replies(lines));
        expectCase<DaemonError::NotReady>(
            daemonErrorOf([&] { client::waitUntilReady(300ms, daemon.socketPath(), kFastPolls); }),
            text);
        EXPECT_GE(daemon.requests().size(), 1u);
    }

    FakeDaemon daemon;
    const DaemonError zero =
        daemonErrorOf([&] { client::waitUntilReady(0ms, daemon.socketPath(), kFastPolls); });
    expectCase<DaemonError::NotReady>(zero, waiting);
    EXPECT_EQ(daemon.connections(), 0u);
}

TEST(DaemonClientReadiness, CancellationEndsTheWaitAtTheNextPoll) {
    FakeDaemon daemon;
    daemon.script("status", FakeReply::line(R"({"ok":true,"status":{"tunnel_on":true}})"));
    client::ReadyWait wait = kFastPolls;
    wait.cancelled = [&] { return daemon.requests().size() >= 2; };
    EXPECT_THAT([&] { client::waitUntilReady(std::chrono::hours(1), daemon.socketPath(), wait); },
                Throws<std::system_error>(
                    Truly([](const std::system_error& e) { return isCancellation(e); })));
    EXPECT_EQ(daemon.requests().size(), 2u);
}

}  // namespace
}  // namespace nimbra
