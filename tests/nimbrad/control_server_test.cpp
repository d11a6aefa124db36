#include "nimbrad/control_server.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.hpp"
#include "nimbrad/argument_checks.hpp"
#include "nimbrad/control_request.hpp"
#include "nimbrad/tunnel_daemon.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

UniqueFd connectTo(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = unixAddress(path);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "connect " << path << ": " << std::strerror(errno);
    }
    return fd;
}

// Everything the server sends until it closes; a reset counts as the end.
std::string readAll(int fd) {
    std::string received;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) return received;
        received.append(chunk, static_cast<std::size_t>(n));
    }
}

// Runs `action` on a thread of its own whose effective uid and gid are `uid`: the raw system
// calls change only that thread's credentials (glibc's setuid would change every thread's), and
// a socket it connects carries them, so the server sees that uid through the kernel.
template <typename Action>
auto asUid(uid_t uid, Action action) {
    decltype(action()) result{};
    std::thread([&] {
        if (::syscall(SYS_setresgid, -1, uid, -1) != 0 ||
            ::syscall(SYS_setresuid, -1, uid, -1) != 0)
            ADD_FAILURE() << "cannot act as uid " << uid << ": " << std::strerror(errno);
        else
            result = action();
    }).join();
    return result;
}

UniqueFd connectAs(uid_t uid, const std::string& path) {
    return asUid(uid, [&] { return connectTo(path); });
}

// Sends `bytes` and returns what comes back. The server may close mid-write (a request over the
// limit); that is an answer too.
std::string exchange(const UniqueFd& fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    return readAll(fd.get());
}

std::string converse(const std::string& path, const std::string& line) {
    return exchange(connectTo(path), line + "\n");
}

std::string converseAs(uid_t uid, const std::string& path, const std::string& line) {
    return exchange(connectAs(uid, path), line + "\n");
}

// The test handler's reply to `command`.
std::string did(const std::string& command) {
    return R"({"ok":true,"msg":"did )" + command + "\"}\n";
}

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The socket's folder must be reachable by the unprivileged peers.
        std::filesystem::permissions(dir_.path(), std::filesystem::perms(0755));
        path_ = (dir_ / "nimbra.sock").string();
    }

    void TearDown() override {
        server_.reset();
        work_.reset();
        io_.stop();
        for (auto& thread : threads_) thread.join();
    }

    // Serves on several threads, so that only the strand can keep commands apart.
    void serve(std::vector<uid_t> allowed = {}, ControlServer::Options options = {},
               ControlServer::Handler handler = {}) {
        if (!handler) handler = [this](const Request& request) { return handle(request); };
        server_ = std::make_unique<ControlServer>(io_, path_, std::move(allowed),
                                                  std::move(handler), options);
        for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { io_.run(); });
    }

    std::string handle(const Request& request) {
        const int active = ++active_;
        maxActive_ = std::max(maxActive_.load(), active);
        if (request.cmd == "start") std::this_thread::sleep_for(startDuration_);
        {
            const std::lock_guard lock(mutex_);
            handled_.push_back(request);
        }
        --active_;
        return replyJson(true, "did " + request.cmd);
    }

    std::vector<Request> handled() {
        const std::lock_guard lock(mutex_);
        return handled_;
    }

    testing::TempDir dir_;
    std::string path_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::optional<TunnelDaemon> daemon_;
    std::unique_ptr<ControlServer> server_;
    std::vector<std::thread> threads_;
    std::chrono::milliseconds startDuration_{0};
    std::atomic<int> active_{0};
    std::atomic<int> maxActive_{0};
    std::mutex mutex_;
    std::vector<Request> handled_;
};

// The request shapes a client sends, and every string the reply writer puts out read back whole.
TEST(ControlRequestTest, ParsesTheRequestShapesAndWhatTheWriterWrites) {
    struct Case {
        std::string line;
        Request expected;
    };
    std::vector<Case> cases = {
        {R"({"cmd":"ping"})", {"ping", {}}},
        {R"({"cmd":"dns","args":["custom","1.1.1.1"]})", {"dns", {"custom", "1.1.1.1"}}},
        {R"({"args":["on"],"cmd":"chinadirect"})", {"chinadirect", {"on"}}},
        {" { \"cmd\" : \"stop\" , \"args\" : [ ] }\r", {"stop", {}}},
        {R"({"cmd":"exclude","args":["caf\u00e9.example","a\/b\"c\\"]})",
         {"exclude", {"caf\xc3\xa9.example", "a/b\"c\\"}}},
        {R"({"cmd":"exclude","args":["\ud83d\ude00"]})", {"exclude", {"\xf0\x9f\x98\x80"}}},
    };
    for (const std::string text : {"plain", "quote\" back\\slash", "caf\xc3\xa9", "a/b", ""})
        cases.push_back({R"({"cmd":"x","args":[)" + jsonString(text) + "]}", {"x", {text}}});
    for (const auto& c : cases) {
        std::string error;
        const auto request = parseRequest(c.line, error);
        ASSERT_TRUE(request) << c.line << ": " << error;
        EXPECT_EQ(*request, c.expected) << c.line;
    }
    // Control characters and broken UTF-8 are escaped or replaced, never sent raw.
    EXPECT_EQ(jsonString("a\nb\x01\x7f"), R"("a\nb\u0001\u007f")");
    EXPECT_EQ(jsonString("bad\xff"), "\"bad\xef\xbf\xbd\"");
    EXPECT_EQ(replyJson(false, "unknown command \"x\""),
              R"({"ok":false,"msg":"unknown command \"x\""})");
    EXPECT_EQ(replyJson(true), R"({"ok":true})");
}

// A line that is not a request gets "malformed request" (over the size limit, a plain close), a
// request the rules refuse gets the reason; neither reaches the handler and the server lives on.
TEST_F(ControlServerTest, RefusesMalformedLinesAndBadArgumentsWithoutTheHandler) {
    serve();
    const std::string malformed = "malformed request: ";  // and why, in the reply
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Not an object, a wrong type, a key too many, text after the object, a control
        // character, a lone surrogate, and one line over the size limit.
        {"hello", malformed},
        {R"({"cmd":"ping","args":[1]})", malformed},
        {R"({"cmd":"ping","cmd":"start"})", malformed},
        {R"({"cmd":"ping"} trailing)", malformed},
        {R"({"cmd":"exclude","args":["a\nb"]})", malformed},
        {R"({"cmd":"exclude","args":["\ud800"]})", malformed},
        {"{\"cmd\":\"ping\",\"args\":[\"" +
             std::string(ControlServer::Options{}.maxRequestBytes, 'a') + "\"]}",
         ""},
        // The shapes of refusal; what each value check accepts is argument_checks_test's.
        {R"({"cmd":"reboot"})", R"(unknown command "reboot")"},
        {R"({"cmd":"start","args":["now"]})", R"("start" takes no arguments)"},
        {R"({"cmd":"dns","args":["custom"]})", "the custom DNS mode needs an upstream"},
        {R"({"cmd":"exclude","args":["not a host!"]})", *refuseExclusion("not a host!")},
    };
    for (const auto& [line, msg] : cases) {
        SCOPED_TRACE(line.substr(0, 80));
        const std::string reply = converse(path_, line);
        const std::string quoted = R"({"ok":false,"msg":)" + jsonString(msg) + "}\n";
        if (msg.empty()) {
            EXPECT_EQ(reply, "");
        } else if (msg == malformed) {
            EXPECT_EQ(reply.rfind(quoted.substr(0, quoted.size() - 3), 0), 0u) << reply;
            EXPECT_EQ(reply.back(), '\n');
        } else {
            EXPECT_EQ(reply, quoted);
        }
    }
    EXPECT_TRUE(handled().empty());

    // The same shapes with good values reach the handler as they were sent, the largest too:
    // as many app routes as may be sent, each of paths near the longest, escapes and all.
    std::string routes;
    for (int i = 0; i < 512; ++i) {
        routes += (i > 0 ? " direct:" : "direct:") + std::string("user.slice/user-1000.slice");
        for (int level = 0; level < 3; ++level) routes += "/app-" + std::string(250, 'a');
        routes += "/" + std::string(R"(x\x2dy)") + std::to_string(i) + ".scope";
    }
    for (const std::string& line : std::vector<std::string>{
             R"({"cmd":"ping"})", R"({"cmd":"dns","args":["custom","https://dns.example/q"]})",
             R"({"cmd":"exclude","args":["10.0.0.0/8"]})",
             nlohmann::json{{"cmd", "app_routes"}, {"args", {"proxy", routes}}}.dump()}) {
        EXPECT_EQ(converse(path_, line).rfind(R"({"ok":true)", 0), 0u) << line.substr(0, 80);
    }
    EXPECT_EQ(handled().size(), 4u);
}

// Other users may ask but not change anything. One who opens idle connections by the hundred
// keeps only a few of them: root, the allowed uids and other users are still answered.
TEST_F(ControlServerTest, OnlyRootAndAllowedUsersMayChangeThingsAndNobodyIsLockedOut) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    ControlServer::Options options;
    options.requestTimeout = options.strangerRequestTimeout = 1h;  // the flood is held to the end
    serve({1234}, options);
    const std::string refused = "{\"ok\":false,\"msg\":\"not authorised\"}\n";
    const struct {
        uid_t uid;
        std::string line;
        std::string reply;
    } cases[] = {
        {kNobody, R"({"cmd":"ping"})", did("ping")},
        {kNobody, R"({"cmd":"status"})", did("status")},
        {kNobody, R"({"cmd":"start"})", refused},
        {kNobody, R"({"cmd":"chinadirect","args":["on"]})", refused},
        {kNobody, R"({"cmd":"exclude","args":["bad host"]})", refused},
        // The room trusted users have for their app routes is not the strangers'.
        {kNobody, R"({"cmd":"ping","args":[")" + std::string(64 * 1024, 'a') + "\"]}", ""},
        {1234, R"({"cmd":"start"})", did("start")},
        {0, R"({"cmd":"stop"})", did("stop")},
    };
    for (const auto& c : cases) EXPECT_EQ(converseAs(c.uid, path_, c.line), c.reply) << c.line;
    EXPECT_EQ(handled().size(), 4u);

    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666u);

    // The server never writes to an idle connection: readable means closed.
    std::vector<pollfd> flood(200);  // more than all the limits together
    std::vector<UniqueFd> held;
    for (pollfd& connection : flood) {
        held.push_back(connectAs(kNobody, path_));
        connection = {held.back().get(), POLLIN, 0};
    }
    const std::string ping = R"({"cmd":"ping"})";
    for (const uid_t uid : {0u, 0u, 0u, 1234u, kNobody - 1})
        EXPECT_EQ(converseAs(uid, path_, ping), did("ping")) << uid;
    EXPECT_EQ(::poll(flood.data(), flood.size(), 0),
              static_cast<int>(flood.size() - options.connections.perUid));
}

// Strangers share one part between them and never reach what root and the allowed uids hold;
// places come back as connections end.
TEST(ConnectionQuotaTest, StrangersShareTheirPartAndNeverTakeTheTrustedOnes) {
    ConnectionQuota quota({.perUid = 2, .strangers = 3});
    std::vector<ConnectionQuota::Slot> held;
    const auto take = [&](uid_t uid, bool trusted) {
        auto slot = quota.take(uid, trusted);
        if (slot) held.push_back(std::move(*slot));
        return slot.has_value();
    };
    EXPECT_TRUE(take(kNobody, false) && take(kNobody, false));
    EXPECT_FALSE(take(kNobody, false));
    EXPECT_TRUE(take(1000, false));
    EXPECT_FALSE(take(1001, false));
    EXPECT_TRUE(take(0, true) && take(0, true) && take(1234, true) && take(1234, true));
    EXPECT_FALSE(take(1234, true));
    held.clear();
    EXPECT_TRUE(take(1001, false) && take(1001, false) && take(kNobody, false));
}

// Clients that send part of a line and then nothing are closed without a reply when their time
// is up, while others are served; peers that are neither root nor allowed get the shorter time.
TEST_F(ControlServerTest, ClosesSilentClientsAfterTheirTimeOutWhileServingOthers) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    ControlServer::Options options;
    options.requestTimeout = 2s;
    options.strangerRequestTimeout = 200ms;
    serve({}, options);

    const auto connected = std::chrono::steady_clock::now();
    const UniqueFd silent = connectTo(path_);
    ASSERT_EQ(::send(silent.get(), "{\"cmd\":", 7, MSG_NOSIGNAL), 7);  // and then nothing
    EXPECT_EQ(exchange(connectAs(kNobody, path_), "{\"cmd\":"), "");
    pollfd rootsConnection{silent.get(), POLLIN, 0};
    EXPECT_EQ(::poll(&rootsConnection, 1, 0), 0) << "root's connection went with the stranger's";
    EXPECT_EQ(converse(path_, R"({"cmd":"ping"})"), did("ping"));
    EXPECT_EQ(readAll(silent.get()), "");
    EXPECT_GE(std::chrono::steady_clock::now() - connected, options.requestTimeout);
}

// Root and the allowed uids are told everything; anyone else whether the tunnel is up, not the
// DNS choice or which networks the user keeps out of the tunnel.
TEST_F(ControlServerTest, StrangersAreNotToldTheUsersChoices) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another uid";
    const auto commands = asio::make_strand(io_);
    DaemonSettings settings;
    settings.stateDirectory = dir_ / "state";
    daemon_.emplace(commands, settings);
    ControlServer::Options options;
    options.commands = commands;
    serve({1234}, options, [this](const Request& request) { return daemon_->handle(request); });
    for (const std::string line : {R"({"cmd":"dns","args":["nextdns","abc123"]})",
                                   R"({"cmd":"exclude","args":["10.20.0.0/16"]})"}) {
        EXPECT_EQ(converse(path_, line).rfind(R"({"ok":true)", 0), 0u) << line;
    }

    const std::string status = R"({"cmd":"status"})";
    const auto owners = nlohmann::json::parse(converseAs(1234, path_, status)).at("status");
    EXPECT_EQ(owners.at("excludes"), nlohmann::json::array({"10.20.0.0/16"}));
    EXPECT_EQ(owners.at("dns_mode"), "nextdns");
    const auto told = nlohmann::json::parse(converseAs(kNobody, path_, status)).at("status");
    EXPECT_EQ(
        told,
        nlohmann::json(
            {{"ok", false}, {"tunnel_on", false}, {"connected", false}, {"dns_running", false}}));
}

TEST_F(ControlServerTest, RunsCommandsOneAtATime) {
    startDuration_ = 100ms;
    serve();
    std::vector<std::string> replies(3);
    std::vector<std::thread> clients;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        clients.emplace_back([&, i] {
            replies[i] = converse(path_, i == 2 ? R"({"cmd":"stop"})" : R"({"cmd":"start"})");
        });
    }
    for (auto& client : clients) client.join();

    EXPECT_EQ(replies[0], did("start"));
    EXPECT_EQ(replies[1], did("start"));
    EXPECT_EQ(replies[2], did("stop"));
    EXPECT_EQ(handled().size(), 3u);
    EXPECT_EQ(maxActive_.load(), 1);
}

TEST_F(ControlServerTest, ReplacesOnlyAStaleSocket) {
    const auto listenAt = [&](const std::string& path) {
        return ControlServer(io_, path, {}, [](const Request&) { return std::string(); });
    };
    // A missing folder, and a plain file in the socket's place, are left alone.
    EXPECT_THROW(listenAt((dir_ / "missing" / "s.sock").string()), std::system_error);
    const auto file = dir_ / "file";
    std::ofstream(file) << "keep";
    EXPECT_THROW(listenAt(file.string()), std::system_error);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));

    // A socket nobody listens on any more is taken over; a live one is not.
    {
        const ControlServer first = listenAt(path_);
        EXPECT_THROW(listenAt(path_), std::system_error);
    }
    EXPECT_FALSE(std::filesystem::exists(path_));
    const UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    const sockaddr_un address = unixAddress(path_);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    serve();
    EXPECT_EQ(converse(path_, R"({"cmd":"ping"})"), did("ping"));
}

}  // namespace
}  // namespace nimbra::nimbrad
