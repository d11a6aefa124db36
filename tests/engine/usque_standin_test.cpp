// The stand-in usque the engine tests run in place of the real client: its command lines, log
// lines and exit statuses, its knobs, and a SOCKS5 relay that really carries bytes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/line_reader.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using namespace std::chrono_literals;
using asio::ip::tcp;
using ::testing::HasSubstr;
using testing::LineReader;
using testing::TempDir;

constexpr auto kPatience = 5s;
const std::string kUsque = NIMBRA_STANDIN_DIR "/usque";

std::uint16_t freePort() {
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

// Echoes every byte back on 127.0.0.1 and answers EOF with EOF, on a thread of its own.
class EchoServer {
public:
    EchoServer() : acceptor_(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        accept();
        thread_ = std::thread([this] { io_.run(); });
    }
    ~EchoServer() {
        io_.stop();
        thread_.join();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

private:
    struct Connection {
        tcp::socket socket;
        std::array<char, 4096> buffer{};
    };

    static void echo(std::shared_ptr<Connection> connection) {
        connection->socket.async_read_some(
            asio::buffer(connection->buffer),
            [connection](std::error_code error, std::size_t size) {
                std::error_code ignored;
                if (error)
                    return void(connection->socket.shutdown(tcp::socket::shutdown_send, ignored));
                asio::async_write(connection->socket, asio::buffer(connection->buffer.data(), size),
                                  [connection](std::error_code error, std::size_t) {
                                      if (!error) echo(connection);
                                  });
            });
    }

    void accept() {
        acceptor_.async_accept([this](std::error_code error, tcp::socket socket) {
            if (error) return;
            echo(std::make_shared<Connection>(Connection{std::move(socket)}));
            accept();
        });
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::thread thread_;
};

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (const int value : values) text += static_cast<char>(value);
    return text;
}

std::string portBytes(std::uint16_t port) {
    return bytes({port >> 8, port & 0xff});
}

// A blocking client socket on 127.0.0.1:port with a receive time-out; invalid if refused.
UniqueFd connectTo(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval timeout{3, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

void sendAll(int fd, std::string_view data) {
    ASSERT_EQ(::send(fd, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
}

// Up to `size` bytes; fewer on EOF or time-out.
std::string receive(int fd, std::size_t size) {
    std::string data;
    char buffer[4096];
    while (data.size() < size) {
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, size - data.size()), 0);
        if (got <= 0) break;
        data.append(buffer, static_cast<std::size_t>(got));
    }
    return data;
}

// Greets without authentication and sends CONNECT to `address` (ATYP and address bytes) and port;
// returns the 10-byte reply.
std::string socksConnect(int fd, const std::string& address, std::uint16_t port) {
    sendAll(fd, bytes({5, 1, 0}));
    EXPECT_EQ(receive(fd, 2), bytes({5, 0}));
    sendAll(fd, bytes({5, 1, 0}) + address + portBytes(port));
    return receive(fd, 10);
}

std::string ipv4Loopback() {
    return bytes({1, 127, 0, 0, 1});
}
std::string domain(const std::string& name) {
    return bytes({3, static_cast<int>(name.size())}) + name;
}

class UsqueStandin : public ::testing::Test {
protected:
    struct Running {
        Subprocess process;
        LineReader err;
    };

    std::string config() const { return (dir_ / "config.json").string(); }

    Subprocess::Options command(std::vector<std::string> args,
                                std::vector<std::string> knobs) const {
        Subprocess::Options options;
        options.argv = {kUsque};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        options.environment = std::move(knobs);
        options.environment->push_back("HOME=" + dir_.path().string());
        options.environment->push_back(std::string("PATH=") + std::getenv("PATH"));
        options.workingDirectory = dir_.path();
        return options;
    }

    Subprocess::RunResult registerDevice(std::vector<std::string> knobs = {}, bool accept = true) {
        std::vector<std::string> args = {"register", "-c", config(), "-n", "test"};
        if (accept) args.insert(args.begin() + 1, "-a");
        return Subprocess::run(command(std::move(args), std::move(knobs)), kPatience);
    }

    Running startSocks(std::uint16_t port, std::vector<std::string> knobs = {}) {
        knobs.push_back("USQUE_STANDIN_READY_DELAY_MS=5");
        auto process = Subprocess::start(
            command({"socks", "-c", config(), "-b", "127.0.0.1", "-p", std::to_string(port),
                     "--always-reconnect", "-k", "15s", "--http2"},
                    std::move(knobs)));
        LineReader err(process.releaseStderr());
        return {std::move(process), std::move(err)};
    }

    Running startReady(std::uint16_t port, std::vector<std::string> knobs = {}) {
        if (!std::filesystem::exists(config())) {
            EXPECT_EQ(registerDevice().status.code, 0);
        }
        auto running = startSocks(port, std::move(knobs));
        EXPECT_TRUE(running.err.waitFor("Connected to MASQUE server", kPatience))
            << running.err.transcript();
        return running;
    }

    TempDir dir_;
};

TEST_F(UsqueStandin, RegisterWritesTheRegistrationFileWithoutWaitingForStdin) {
    const auto result = registerDevice();
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status.code, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Registration successful"));
    std::ifstream file(config());
    const auto json = nlohmann::json::parse(file);
    for (const char* key :
         {"private_key", "endpoint_v4", "endpoint_v6", "endpoint_h2_v4", "endpoint_h2_v6",
          "endpoint_pub_key", "id", "access_token", "ipv4", "ipv6"}) {
        EXPECT_TRUE(json.contains(key)) << key;
    }
    EXPECT_EQ(json["endpoint_v4"], "162.159.198.1");
    EXPECT_TRUE(std::regex_search(result.err, std::regex(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d \S)")));
}

TEST_F(UsqueStandin, RegisterAbortsAtEofOnEitherQuestionAndWhenToldToFail) {
    // No -a: the terms of service are asked, EOF says no.
    auto result = registerDevice({}, false);
    EXPECT_EQ(result.status.code, 1);
    EXPECT_THAT(result.out, HasSubstr("terms of service"));
    EXPECT_FALSE(std::filesystem::exists(config()));

    result = registerDevice({"USQUE_STANDIN_REGISTER_FAIL=registration refused: 429"});
    EXPECT_EQ(result.status.code, 1);
    EXPECT_THAT(result.out + result.err, HasSubstr("registration refused: 429"));
    EXPECT_FALSE(std::filesystem::exists(config()));

    // An existing file is kept unless stdin says "y".
    std::ofstream(config()) << "{\"keep\": true}";
    result = registerDevice();
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.status.code, 1);
    EXPECT_THAT(result.out, HasSubstr("Aborted."));
    std::ifstream file(config());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "{\"keep\": true}");
}

TEST_F(UsqueStandin, SocksWithoutUsableConfigSaysSoAndExitsZero) {
    for (const bool garbage : {false, true}) {
        if (garbage) std::ofstream(config()) << "not json";
        auto running = startSocks(freePort());
        EXPECT_TRUE(running.err.waitFor("Config not loaded. Please register first.", kPatience));
        const auto status = running.process.wait(kPatience);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 0);
    }
}

TEST_F(UsqueStandin, SocksLogsItsLinesInOrderAndHonoursTheLineKnobs) {
    const auto port = freePort();
    ASSERT_EQ(registerDevice().status.code, 0);
    auto running = startSocks(
        port, {"USQUE_STANDIN_PRE_LINES=first extra\nsecond extra",
               "USQUE_STANDIN_READY_LINE=tunnel established", "USQUE_STANDIN_LOST_AFTER_MS=10"});
    auto& err = running.err;
    const std::string listening = "SOCKS proxy listening on 127.0.0.1:" + std::to_string(port);
    const std::vector<std::string> expectedLines = {
        listening,
        "first extra",
        "second extra",
        "tunnel established",
        "Tunnel connection lost: timeout: no recent network activity. Reconnecting...",
        "tunnel established"};
    for (const auto& expected : expectedLines) {
        const auto line = err.next(kPatience);
        ASSERT_TRUE(line) << err.transcript();
        EXPECT_TRUE(std::regex_match(*line, std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d .*)")));
        EXPECT_THAT(*line, HasSubstr(expected));
    }
    EXPECT_FALSE(err.next(50ms)) << "the loss happens once by default";
    EXPECT_FALSE(err.sawLineContaining("Connected to MASQUE server"));

    // --http2 reaches the command line as given.
    std::ifstream cmdline("/proc/" + std::to_string(running.process.pid()) + "/cmdline");
    EXPECT_THAT(std::string(std::istreambuf_iterator<char>(cmdline), {}), HasSubstr("--http2"));
}

TEST_F(UsqueStandin, ExitEarlyAndNeverReadyKnobs) {
    ASSERT_EQ(registerDevice().status.code, 0);
    auto early = startSocks(freePort(), {"USQUE_STANDIN_PRE_LINES=warming up",
                                         "USQUE_STANDIN_EXIT_EARLY=Failed to connect tunnel: boom",
                                         "USQUE_STANDIN_EXIT_CODE=3"});
    ASSERT_TRUE(early.err.readToEnd(kPatience));
    EXPECT_THAT(early.err.transcript(),
                ::testing::ContainsRegex(
                    "listening on.*\n.*warming up\n.*Failed to connect tunnel: boom\n$"));
    const auto status = early.process.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 3);

    const auto port = freePort();
    auto idle = startSocks(port, {"USQUE_STANDIN_NEVER_READY=1"});
    ASSERT_TRUE(idle.err.waitFor("SOCKS proxy listening on", kPatience));
    EXPECT_FALSE(idle.err.next(100ms)) << idle.err.transcript();
    EchoServer echo;
    const auto client = connectTo(port);
    ASSERT_TRUE(client.valid()) << "serves even though never ready";
    EXPECT_EQ(socksConnect(client.get(), ipv4Loopback(), echo.port()).substr(0, 2), bytes({5, 0}));
}

TEST_F(UsqueStandin, SocksRelaysBytesByAddressAndByMappedName) {
    EchoServer echo;
    const auto port = freePort();
    auto running =
        startReady(port, {"USQUE_STANDIN_HOSTS=echo.test=127.0.0.1:" + std::to_string(echo.port()) +
                          ",keep.test=127.0.0.1"});

    const auto byAddress = connectTo(port);
    const auto reply = socksConnect(byAddress.get(), ipv4Loopback(), echo.port());
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply.substr(0, 8), bytes({5, 0, 0, 1, 127, 0, 0, 1}));
    const std::string payload(100000, 'x');
    std::thread writer([&] { sendAll(byAddress.get(), payload); });
    EXPECT_EQ(receive(byAddress.get(), payload.size()), payload);
    writer.join();
    // A half-close travels to the echo server, whose EOF comes back.
    ::shutdown(byAddress.get(), SHUT_WR);
    EXPECT_EQ(receive(byAddress.get(), 1), "");

    // The mapped port wins over the requested one; a mapping without a port keeps it.
    for (const auto& [name, requested] : {std::pair{"ECHO.test", 9}, std::pair{"keep.test", 0}}) {
        const auto byName = connectTo(port);
        const std::uint16_t asked = requested ? requested : echo.port();
        EXPECT_EQ(socksConnect(byName.get(), domain(name), asked).substr(0, 2), bytes({5, 0}))
            << name;
        sendAll(byName.get(), "hello");
        EXPECT_EQ(receive(byName.get(), 5), "hello");
    }
}

TEST_F(UsqueStandin, SocksAnswersBadRequestsAndKeepsServing) {
    const auto port = freePort();
    auto running = startReady(port);
    const auto refusedPort = freePort();

    auto client = connectTo(port);
    sendAll(client.get(), bytes({5, 1, 2}));  // username/password only
    EXPECT_EQ(receive(client.get(), 3), bytes({5, 0xff}));

    client = connectTo(port);
    EXPECT_EQ(socksConnect(client.get(), ipv4Loopback(), refusedPort).substr(0, 2), bytes({5, 5}));

    client = connectTo(port);
    sendAll(client.get(), bytes({5, 1, 0}));
    EXPECT_EQ(receive(client.get(), 2), bytes({5, 0}));
    sendAll(client.get(), bytes({5, 2, 0, 1, 127, 0, 0, 1, 0, 80}));  // BIND
    EXPECT_EQ(receive(client.get(), 10).substr(0, 2), bytes({5, 7}));

    client = connectTo(port);
    sendAll(client.get(), bytes({5, 1, 0}));
    EXPECT_EQ(receive(client.get(), 2), bytes({5, 0}));
    sendAll(client.get(), bytes({5, 1, 0, 9, 1, 2, 3}));  // unknown address type
    EXPECT_EQ(receive(client.get(), 10).substr(0, 2), bytes({5, 8}));

    client = connectTo(port);
    sendAll(client.get(), "GET / HTTP/1.1\r\n\r\n");
    EXPECT_EQ(receive(client.get(), 1), "");

    EchoServer echo;
    client = connectTo(port);
    EXPECT_EQ(socksConnect(client.get(), ipv4Loopback(), echo.port()).substr(0, 2), bytes({5, 0}));
    EXPECT_TRUE(running.process.running());
}

TEST_F(UsqueStandin, SecondInstanceOnTheSamePortExitsZeroAndSigtermFreesThePort) {
    const auto port = freePort();
    auto first = startReady(port);

    auto second = startSocks(port);
    const std::string failure =
        "Failed to start SOCKS proxy: listen tcp 127.0.0.1:" + std::to_string(port) +
        ": bind: address already in use";
    EXPECT_TRUE(second.err.waitFor(failure, kPatience)) << second.err.transcript();
    auto status = second.process.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_FALSE(second.err.sawLineContaining("Connected to MASQUE server"));

    const auto idleClient = connectTo(port);  // an open session must not hold the exit up
    ASSERT_TRUE(idleClient.valid());
    const auto start = std::chrono::steady_clock::now();
    first.process.signal(SIGTERM);
    status = first.process.wait(kPatience);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    EXPECT_FALSE(status->signal);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(connectTo(port).valid()) << "port still taken";
}

}  // namespace
}  // namespace nimbra
