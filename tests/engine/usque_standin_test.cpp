// The usque stand-in where the engine tests do not reach: EOF at register's questions, socks
// without a config, SOCKS5 errors, and the exact log line of a second instance on a taken port.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <regex>
#include <string>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/line_reader.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using testing::freeLoopbackPort;
using ::testing::HasSubstr;
using testing::LineReader;

constexpr auto kPatience = 5s;

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) text += static_cast<char>(value);
    return text;
}

// A blocking client socket on 127.0.0.1:port with a receive time-out; invalid if refused.
UniqueFd connectTo(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{3, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

// Sends `request` on a fresh connection and returns up to `size` bytes of the answer (fewer on
// EOF or time-out).
std::string exchange(int port, const std::string& request, std::size_t size) {
    const auto fd = connectTo(port);
    EXPECT_EQ(::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    char buffer[64];
    const ssize_t got = ::recv(fd.get(), buffer, std::min(sizeof buffer, size), MSG_WAITALL);
    return std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
}

class UsqueStandin : public ::testing::Test {
protected:
    struct Running {
        Subprocess process;
        LineReader err;
    };

    std::string config() const { return (home_.home() / "config.json").string(); }

    Subprocess::RunResult registerDevice(bool accept) {
        Subprocess::Options options;
        options.argv = {NIMBRA_STANDIN_DIR "/usque", "register", "-c", config(), "-n", "test"};
        if (accept) options.argv.insert(options.argv.begin() + 2, "-a");
        return Subprocess::run(std::move(options), kPatience);
    }

    Running startSocks(int port) {
        Subprocess::Options options;
        options.argv = {NIMBRA_STANDIN_DIR "/usque",
                        "socks",
                        "-c",
                        config(),
                        "-b",
                        "127.0.0.1",
                        "-p",
                        std::to_string(port),
                        "--always-reconnect",
                        "-k",
                        "15s"};
        auto process = Subprocess::start(std::move(options));
        LineReader err(process.releaseStderr());
        return {std::move(process), std::move(err)};
    }

    Running startReady(int port) {
        EXPECT_EQ(registerDevice(true).status.code, 0);
        auto running = startSocks(port);
        EXPECT_TRUE(running.err.waitFor("Connected to MASQUE server", kPatience))
            << running.err.transcript();
        return running;
    }

    testing::UsqueTestHome home_;
};

TEST_F(UsqueStandin, WithoutARegistrationRegisterTakesEofAsNoAndSocksExitsZero) {
    const auto socksSaysConfigNotLoaded = [&] {
        auto running = startSocks(freeLoopbackPort());
        EXPECT_TRUE(running.err.waitFor("Config not loaded. Please register first.", kPatience));
        const auto status = running.process.wait(kPatience);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 0);
    };
    auto result = registerDevice(false);  // no -a: the terms of service are asked
    EXPECT_EQ(result.status.code, 1);
    EXPECT_THAT(result.out, HasSubstr("terms of service"));
    EXPECT_FALSE(std::filesystem::exists(config()));
    socksSaysConfigNotLoaded();

    std::ofstream(config()) << "not json";
    result = registerDevice(true);  // an existing file is kept unless stdin says "y"
    EXPECT_EQ(result.status.code, 1);
    EXPECT_THAT(result.out, HasSubstr("Aborted."));
    std::ifstream file(config());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "not json");
    socksSaysConfigNotLoaded();
}

TEST_F(UsqueStandin, BadRequestsASecondInstanceAndSigtermAgainstARunningSocks) {
    const int port = home_.port();
    auto first = startReady(port);
    const auto toPort = [](int target) { return bytes({target >> 8, target & 0xff}); };
    const std::string greeting = bytes({5, 1, 0});
    const std::string accepted = bytes({5, 0});
    const std::string connectLoopback = bytes({5, 1, 0, 1, 127, 0, 0, 1});
    const struct {
        const char* what;
        std::string request;
        std::string reply;  // the start of the answer; empty: the connection just closes
    } cases[] = {
        {"username/password only", bytes({5, 1, 2}), bytes({5, 0xff})},
        {"refused", greeting + connectLoopback + toPort(freeLoopbackPort()),
         accepted + bytes({5, 5})},
        {"BIND", greeting + bytes({5, 2, 0, 1, 127, 0, 0, 1, 0, 80}), accepted + bytes({5, 7})},
        {"unknown address type", greeting + bytes({5, 1, 0, 9, 1, 2, 3}), accepted + bytes({5, 8})},
        {"not SOCKS", "GET / HTTP/1.1\r\n\r\n", ""},
        {"still serving", greeting + connectLoopback + toPort(port), accepted + bytes({5, 0})},
    };
    for (const auto& [what, request, reply] : cases) {
        EXPECT_EQ(exchange(port, request, std::max<std::size_t>(reply.size(), 1)), reply) << what;
    }

    auto second = startSocks(port);
    const auto failure = second.err.waitFor(
        "Failed to start SOCKS proxy: listen tcp 127.0.0.1:" + std::to_string(port) +
            ": bind: address already in use",
        kPatience);
    ASSERT_TRUE(failure) << second.err.transcript();
    EXPECT_TRUE(std::regex_match(*failure, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d .*)")))
        << "usque's log lines start with the local time";
    auto status = second.process.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);

    const auto idleClient = connectTo(port);  // an open session must not hold the exit up
    ASSERT_TRUE(idleClient.valid());
    const auto start = std::chrono::steady_clock::now();
    first.process.signal(SIGTERM);
    status = first.process.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(connectTo(port).valid()) << "port still taken";
}

}  // namespace
}  // namespace nimbra
