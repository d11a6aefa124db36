// nimbrad as root runs it, in the client namespace of the namespace world: the usque stand-in
// makes the tunnel to the provider, the daemon routes the client's traffic and DNS into it. The
// tests speak the daemon's socket protocol (one JSON line per connection) and look at what a
// program in the client namespace sees, and at the routing tables and resolver file it leaves.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.hpp"
#include "namespace_world.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using Ns = NamespaceWorld::Ns;
using Json = nlohmann::json;

constexpr auto kWait = 60s;
constexpr uid_t kNobody = 65534;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls `condition` until it holds; false when it never did within kWait.
bool eventually(const std::function<bool()>& condition) {
    for (auto deadline = std::chrono::steady_clock::now() + kWait;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(20ms)) {
        if (condition()) return true;
    }
    return condition();
}

// The children of `parent` (from /proc), so a test can find the usque the daemon runs.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent &&
            state != 'Z') {
            children.push_back(std::stoi(entry.path().filename()));
        }
    }
    return children;
}

// One request line on the socket at `path`; the reply line, or "" when there was none. Only
// system calls, so that a forked child may use it.
std::string ask(const std::string& path, const std::string& line) {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
    const timeval timeout{30, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const std::string request = line + "\n";
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n =
            ::send(fd.get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the daemon may hang up on a request it will not read
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd.get(), SHUT_WR);
    std::string reply;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd.get(), buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, n);
    while (!reply.empty() && reply.back() == '\n') reply.pop_back();
    return reply;
}

std::string request(const std::string& cmd, const std::vector<std::string>& args = {}) {
    Json line = {{"cmd", cmd}};
    if (!args.empty()) line["args"] = args;
    return line.dump();
}

class NimbradE2e : public ::testing::Test {
protected:
    static fs::path program() { return fs::path(NIMBRA_CLI).parent_path() / "nimbrad"; }

    void SetUp() override {
        if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
        if (!fs::exists(program())) GTEST_SKIP() << "nimbrad is not built: " << program();
        world_.emplace();
        // Traversable for the unprivileged client; writable by root alone, as nimbrad demands
        // of the folders above the usque it runs.
        fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
        fs::copy_file(fs::path(NIMBRA_STANDIN_DIR) / "usque", usque_);
        fs::permissions(usque_, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
        Subprocess::Options registration;
        registration.argv = {usque_.string(), "register", "-a", "-c", registrationFile_.string()};
        ASSERT_TRUE(Subprocess::run(std::move(registration), kWait).status.succeeded());
        std::ofstream(config_) << "dns:\n  mode: cloudflare\nhttp2: false\nexcludes: []\n";
        std::ofstream(resolvConf_)
            << "# the LAN's resolver\nnameserver " << kRouterAddress << "\noptions edns0\n";
    }

    void TearDown() override {
        if (daemon_ && daemon_->running()) {
            daemon_->signal(SIGTERM);
            if (!daemon_->wait(kWait)) daemon_->kill();
        }
        // A usque that outlived a killed daemon holds the client namespace: ours to end.
        for (const pid_t pid : usquePids_) ::kill(pid, SIGKILL);
        if (HasFailure()) std::cerr << "--- nimbrad log\n" << readFile(log_) << "--- end\n";
    }

    void startDaemon(const std::vector<std::string>& environment = {}) {
        std::vector<std::string> env = {"USQUE_STANDIN_PROVIDER_NETNS=" +
                                        world_->path(Ns::provider)};
        env.insert(env.end(), environment.begin(), environment.end());
        daemon_ =
            world_->start(Ns::client,
                          {program().string(), "-config", config_.string(), "-usque-config",
                           registrationFile_.string(), "-sock", socket_.string(), "-listen",
                           "127.0.0.1:53", "-log", log_.string(), "-usque", usque_.string(),
                           "-state-dir", stateDir_.string(), "-resolv-conf", resolvConf_.string()},
                          env, Subprocess::Output::discard);
        ASSERT_TRUE(eventually([&] { return ask(request("ping")).find("pong") != npos; }))
            << readFile(log_);
    }

    std::string ask(const std::string& line) const { return e2e::ask(socket_.string(), line); }

    Json status() const {
        const Json reply = Json::parse(ask(request("status")), nullptr, false);
        return reply.is_object() && reply.contains("status") ? reply["status"] : Json::object();
    }

    bool statusSays(const char* field, bool value) const {
        const Json now = status();
        return now.contains(field) && now[field] == value;
    }

    // "start", then wait until the daemon reports the tunnel connected and routed.
    void startTunnel() {
        ASSERT_THAT(ask(request("start")), HasSubstr("\"ok\":true"));
        ASSERT_TRUE(eventually([&] { return statusSays("ok", true); })) << status().dump();
        for (const pid_t pid : childrenOf(daemon_->pid())) usquePids_.push_back(pid);
    }

    // What the client's routing looks like: the four tables `ip` shows.
    std::string routing() const {
        std::string all;
        for (const auto& command :
             std::vector<std::vector<std::string>>{{"ip", "rule"},
                                                   {"ip", "-6", "rule"},
                                                   {"ip", "route", "show", "table", "all"},
                                                   {"ip", "-6", "route", "show", "table", "all"}}) {
            all += "# " + command.back() + "\n" + world_->output(Ns::client, command);
        }
        return all;
    }

    static constexpr auto npos = std::string::npos;

    testing::TempDir dir_;
    fs::path usque_ = dir_ / "usque";
    fs::path registrationFile_ = dir_ / "usque-config.json";
    fs::path config_ = dir_ / "config.yml";
    fs::path resolvConf_ = dir_ / "resolv.conf";
    fs::path socket_ = dir_ / "nimbra.sock";
    fs::path log_ = dir_ / "nimbrad.log";
    fs::path stateDir_ = dir_ / "state";
    std::optional<NamespaceWorld> world_;
    std::optional<Subprocess> daemon_;
    std::vector<pid_t> usquePids_;
};

TEST_F(NimbradE2e, StartSendsTrafficAndDnsThroughTheTunnelAndKeepsTheLanDirect) {
    startDaemon();
    EXPECT_EQ(world_->warp(), "off");
    startTunnel();

    EXPECT_EQ(world_->warp(), "on");
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
    EXPECT_THAT(readFile(resolvConf_), HasSubstr("nameserver 127.0.0.1"));
    // The router's LAN and the MASQUE endpoint stay off the tunnel (or it would carry itself).
    for (const char* direct : {kRouterAddress, kMasqueEndpoint}) {
        EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", direct}),
                    HasSubstr("dev lan0"))
            << direct;
    }
    EXPECT_THAT(world_->output(Ns::client, {"ip", "route", "get", kTraceHost}),
                HasSubstr("dev nimbra0"));
}

// An excluded address or network goes straight to the router, and back once included again.
TEST_F(NimbradE2e, ExcludedTargetsGoDirectUntilIncluded) {
    startDaemon();
    startTunnel();
    for (const std::string& target : {std::string(kTraceHost), std::string("203.0.113.0/24")}) {
        SCOPED_TRACE(target);
        const auto generation = status()["route_gen"];
        EXPECT_THAT(ask(request("exclude", {target})), HasSubstr("\"ok\":true"));
        EXPECT_EQ(world_->warp(), "off");
        EXPECT_NE(status()["route_gen"], generation);
        EXPECT_THAT(status()["excludes"].dump(), HasSubstr(target));
        EXPECT_THAT(readFile(config_), HasSubstr(target));

        EXPECT_THAT(ask(request("include", {target})), HasSubstr("\"ok\":true"));
        EXPECT_EQ(world_->warp(), "on");
        EXPECT_THAT(readFile(config_), Not(HasSubstr(target)));
    }
}

// IPv6 goes through the tunnel when it carries IPv6; when it does not, IPv6 is blocked: the
// trace host's IPv6 address, reachable directly through the router, must not answer at all.
TEST_F(NimbradE2e, Ipv6NeverGoesAroundTheTunnel) {
    struct Case {
        const char* name;
        std::vector<std::string> knobs;
        std::function<void(const std::string&)> expect;
    };
    const std::vector<Case> cases = {
        {"tunnel with IPv6", {}, [](const std::string& warp) { EXPECT_EQ(warp, "on"); }},
        {"tunnel without IPv6",
         {"USQUE_STANDIN_NO_IPV6=1"},
         [](const std::string& warp) { EXPECT_THAT(warp, StartsWith("no trace")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        startDaemon(c.knobs);
        EXPECT_EQ(world_->warp(true), "off");
        startTunnel();
        c.expect(world_->warp(true));
        EXPECT_EQ(world_->warp(false), "on");
        daemon_->signal(SIGTERM);
        ASSERT_TRUE(daemon_->wait(kWait).has_value());
    }
}

TEST_F(NimbradE2e, KilledUsqueIsDisconnectedThenConnectedAgain) {
    // A slow reconnect keeps the disconnected spell long enough to be seen by polling.
    startDaemon({"USQUE_STANDIN_READY_DELAY_MS=1500"});
    startTunnel();
    ASSERT_EQ(usquePids_.size(), 1u);
    ASSERT_EQ(::kill(usquePids_.front(), SIGKILL), 0);

    EXPECT_TRUE(eventually([&] { return statusSays("connected", false); })) << status().dump();
    EXPECT_TRUE(eventually([&] { return statusSays("ok", true); })) << status().dump();
    EXPECT_GE(status()["usque_restarts"].get<int>(), 1);
    for (const pid_t pid : childrenOf(daemon_->pid())) usquePids_.push_back(pid);
    EXPECT_EQ(world_->warp(), "on");
    EXPECT_EQ(world_->lookup("127.0.0.1"), kProviderDnsAnswer);
}

// However the tunnel ends -- "stop", SIGTERM, or the daemon killed and started again -- the
// routing tables and the resolver file are exactly as they were before.
enum class Ending { stopCommand, sigterm, sigkillThenRestart };

class NimbradEnds : public NimbradE2e, public ::testing::WithParamInterface<Ending> {};

TEST_P(NimbradEnds, LeaveRoutingAndResolverAsBefore) {
    const std::string routesBefore = routing();
    const std::string resolverBefore = readFile(resolvConf_);
    startDaemon();
    startTunnel();
    ASSERT_NE(routing(), routesBefore) << "the tunnel changed nothing";

    switch (GetParam()) {
        case Ending::stopCommand:
            EXPECT_THAT(ask(request("stop")), HasSubstr("\"ok\":true"));
            EXPECT_TRUE(statusSays("tunnel_on", false));
            break;
        case Ending::sigterm: {
            daemon_->signal(SIGTERM);
            const auto status = daemon_->wait(kWait);
            ASSERT_TRUE(status.has_value());
            EXPECT_EQ(status->code, 0);
            break;
        }
        case Ending::sigkillThenRestart:
            daemon_->signal(SIGKILL);
            ASSERT_TRUE(daemon_->wait(kWait).has_value());
            startDaemon();
            break;
    }
    // A usque still running after its daemon has gone keeps nimbra0, and the kernel its routes.
    EXPECT_FALSE(world_->run(Ns::client, {"ip", "link", "show", "nimbra0"}).status.succeeded())
        << "nimbra0 is still there";
    EXPECT_EQ(routing(), routesBefore);
    EXPECT_EQ(readFile(resolvConf_), resolverBefore);
    EXPECT_EQ(world_->warp(), "off");
}

INSTANTIATE_TEST_SUITE_P(Endings, NimbradEnds,
                         ::testing::Values(Ending::stopCommand, Ending::sigterm,
                                           Ending::sigkillThenRestart),
                         [](const auto& info) {
                             switch (info.param) {
                                 case Ending::stopCommand:
                                     return std::string("StopCommand");
                                 case Ending::sigterm:
                                     return std::string("Sigterm");
                                 case Ending::sigkillThenRestart:
                                     break;
                             }
                             return std::string("SigkillThenRestart");
                         });

// Any local user may ask for the status; only root and the allowed uids may change anything.
TEST_F(NimbradE2e, UnprivilegedUserMayAskButNotStart) {
    startDaemon();
    const std::string path = socket_.string();
    std::vector<std::string> replies;
    for (const std::string& line : {request("status"), request("start")}) {
        int pipeFds[2];
        ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(2);
            const std::string reply = e2e::ask(path, line);
            ::_exit(::write(pipeFds[1], reply.data(), reply.size()) < 0 ? 3 : 0);
        }
        ::close(pipeFds[1]);
        const UniqueFd from(pipeFds[0]);
        std::string reply;
        char buffer[4096];
        for (ssize_t n; (n = ::read(from.get(), buffer, sizeof buffer)) > 0;)
            reply.append(buffer, n);
        int waitStatus = 0;
        ASSERT_EQ(::waitpid(child, &waitStatus, 0), child);
        ASSERT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0) << waitStatus;
        replies.push_back(reply);
    }
    EXPECT_THAT(replies[0], HasSubstr("\"status\":{"));
    EXPECT_EQ(replies[1], R"({"ok":false,"msg":"not authorised"})");
    EXPECT_TRUE(statusSays("tunnel_on", false));
}

// Request lines mangled every which way get a reply (or a hang-up), never a crash.
TEST_F(NimbradE2e, FuzzedRequestLinesNeverBringItDown) {
    startDaemon();
    std::mt19937 random(20261207);
    auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const std::vector<std::string> seeds = {
        request("ping"),
        request("status"),
        request("exclude", {"10.20.0.0/16"}),
        request("include", {"10.20.0.0/16"}),
        request("dns", {"custom", "9.9.9.9"}),
        request("nat64", {"64:ff9b::/96"}),
        request("chinadirect", {"off"}),
        R"({"cmd":"exclude","args":["\u00e9\ud83d\ude00.example"]})",
    };
    const std::string alphabet = "{}[]\":,\\u0123456789abcdef \t\x01\x7f\xc3\xa9\xff\xed\xa0\x80";
    std::vector<std::string> lines = {
        "",
        "{",
        "}",
        "null",
        "[]",
        "{\"cmd\":\"ping\"}{}",
        "{\"cmd\":\"ping\",\"cmd\":\"stop\"}",
        std::string(70 * 1024, 'x'),
        std::string(1000, '[') + std::string(1000, ']'),
        R"({"cmd":"exclude","args":["\ud800"]})",
        R"({"cmd":"exclude","args":[1,2,3]})",
        R"({"cmd":"dns","args":[]})",
        R"({"cmd":"exclude","args":["a","b","c","d","e","f","g","h","i"]})",
    };
    while (lines.size() < 400) {
        std::string line = seeds[pick(seeds.size())];
        for (std::size_t edits = 1 + pick(6); edits > 0 && !line.empty(); --edits) {
            const std::size_t at = pick(line.size());
            switch (pick(4)) {
                case 0:
                    line[at] = alphabet[pick(alphabet.size())];
                    break;
                case 1:
                    line.insert(at, 1, alphabet[pick(alphabet.size())]);
                    break;
                case 2:
                    line.erase(at, 1 + pick(4));
                    break;
                default:
                    line.insert(at, line.substr(pick(line.size())));
                    break;
            }
        }
        lines.push_back(line);
    }
    int replies = 0;
    for (const auto& line : lines) {
        // A line feed inside would make it two requests; the daemon reads only the first.
        std::string one = line;
        std::replace(one.begin(), one.end(), '\n', ' ');
        const std::string reply = ask(one);
        if (reply.empty()) continue;
        ++replies;
        const Json parsed = Json::parse(reply, nullptr, false);
        EXPECT_TRUE(parsed.is_object() && parsed.contains("ok")) << one << "\n -> " << reply;
    }
    EXPECT_GT(replies, 300);
    EXPECT_TRUE(daemon_->running());
    EXPECT_THAT(ask(request("ping")), HasSubstr("pong"));
}

}  // namespace
}  // namespace nimbra::e2e
