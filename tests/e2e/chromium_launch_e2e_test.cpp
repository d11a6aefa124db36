// Debian's Chromium, started by the launcher from a desktop entry, in a network namespace that has
// nothing but loopback: the page it loads has a name that only the SOCKS server knows, so the page
// arrives only if the launch really sent Chromium through the local SOCKS port.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "apprules/app_launcher.hpp"
#include "base/subprocess.hpp"
#include "support/file_text.hpp"
#include "support/loopback_peer.hpp"
#include "support/private_network.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ScopedEnv;
using testing::TempDir;
using testing::TestConnection;
using testing::TestServer;

// The namespace is private, so the client's own port is free in it.
constexpr int kSocksPort = 19999;
constexpr int kHttpPort = 19998;
constexpr const char* kProbeName = "nimbra-probe.test";
constexpr const char* kProbePath = "/launched-through-socks";

void runOrFail(std::vector<std::string> argv) {
    Subprocess::Options options;
    options.argv = argv;
    const auto result = Subprocess::run(std::move(options), 10s);
    ASSERT_TRUE(result.status.succeeded()) << argv.front() << ": " << result.err;
}

// Reads one request head and answers it with a small page; records the request line.
class ProbePage {
public:
    ProbePage()
        : server_([this](TestConnection& connection) {
              std::string head;
              while (head.find("\r\n\r\n") == std::string::npos) {
                  head += connection.recvExact(1, 30s);
              }
              record(head.substr(0, head.find("\r\n")));
              const std::string body = "<html><body>nimbra probe</body></html>";
              connection.send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
          }) {}

    int port() const { return server_.port(); }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void record(std::string line) {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(line));
    }

    std::mutex mutex_;
    std::vector<std::string> requests_;
    TestServer server_;  // last: its sessions use the members above
};

// Every process of the session Chromium was started in (the launcher gives it one of its own,
// so its session id is its pid), found by the profile folder on its command line.
std::vector<pid_t> chromiumSession(const std::string& profile) {
    std::optional<pid_t> leader;
    std::vector<std::pair<pid_t, pid_t>> sessions;  // pid, session id
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        const std::string command = testing::readFile(entry.path() / "cmdline");
        if (command.find("--user-data-dir=" + profile) != std::string::npos &&
            ::getsid(pid) == pid) {
            leader = pid;
        }
        if (const pid_t sid = ::getsid(pid); sid > 0) sessions.emplace_back(pid, sid);
    }
    std::vector<pid_t> members;
    if (!leader) return members;
    for (const auto& [pid, sid] : sessions) {
        if (sid == *leader) members.push_back(pid);
    }
    return members;
}

// Waits for Chromium to leave (--dump-dom makes it quit once the page is in), then ends what is
// left of its session by pid.
void endChromium(const std::string& profile) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (!chromiumSession(profile).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(100ms);
    }
    for (const pid_t pid : chromiumSession(profile)) ::kill(pid, SIGKILL);
}

TEST(ChromiumLaunch, LoadsAPageThroughTheLocalSocksPortInANamespaceWithoutRoutes) {
    if (::geteuid() != 0) GTEST_SKIP() << "a network namespace needs root";
    ASSERT_TRUE(fs::exists("/usr/bin/chromium"))
        << "Debian's chromium is missing: scripts/bootstrap";

    const TempDir home;
    fs::create_directories(home / "run");
    fs::permissions(home / "run", fs::perms::owner_all);
    const ScopedEnv homeEnv("HOME", home.path().string());
    const ScopedEnv runtime("XDG_RUNTIME_DIR", (home / "run").string());
    const ScopedEnv config("XDG_CONFIG_HOME", (home / "config").string());
    const ScopedEnv cache("XDG_CACHE_HOME", (home / "cache").string());
    const std::string profile = (home / "run" / "nimbra" / "isolated-profile").string();

    std::vector<std::string> requests;
    const std::string failure = testing::inPrivateNetwork([&] {
        ASSERT_NO_FATAL_FAILURE(runOrFail({"ip", "link", "set", "lo", "up"}));
        ProbePage page;

        testing::writeFile(home / "usque.json", R"({"ipv4": "172.16.0.2"})");
        Subprocess::Options socks;
        socks.argv = {std::string(NIMBRA_STANDIN_DIR) + "/usque",
                      "socks",
                      "-c",
                      (home / "usque.json").string(),
                      "-b",
                      "127.0.0.1",
                      "-p",
                      std::to_string(kSocksPort)};
        std::vector<std::string> environment = {"PATH=/usr/bin:/bin",
                                                "USQUE_STANDIN_HOSTS=" + std::string(kProbeName) +
                                                    "=127.0.0.1:" + std::to_string(page.port())};
        socks.environment = environment;
        socks.output = Subprocess::Output::discard;
        Subprocess usque = Subprocess::start(std::move(socks));

        // Root's Chromium runs only without its sandbox; the rest keeps it quiet and short-lived.
        testing::writeFile(home / "chromium.desktop",
                           "[Desktop Entry]\nType=Application\nName=Chromium\n"
                           "Exec=chromium --headless --no-sandbox --disable-gpu --no-first-run "
                           "--dump-dom http://" +
                               std::string(kProbeName) + kProbePath + " %U\n");
        AppRuleItem item;
        item.name = "Chromium";
        item.bundleId = "chromium";
        item.appPath = (home / "chromium.desktop").string();
        launch(item, kSocksPort, kHttpPort);

        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (page.requests().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100ms);
        }
        endChromium(profile);
        requests = page.requests();
    });
    ASSERT_EQ(failure, "");
    ASSERT_FALSE(requests.empty()) << "the page was never asked for through the SOCKS port";
    EXPECT_EQ(requests.front(), std::string("GET ") + kProbePath + " HTTP/1.1");
}

}  // namespace
}  // namespace nimbra::apprules
