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
#include <thread>

#include "apprules/app_launcher.hpp"
#include "base/subprocess.hpp"
#include "nimbrad_process.hpp"
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

// The pids of Chromium's session (the launcher makes it a session leader), found by the
// profile folder on the leader's command line.
std::vector<pid_t> chromiumSession(const std::string& profile) {
    std::vector<std::pair<pid_t, pid_t>> processes;  // pid, session id
    pid_t leader = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const pid_t pid = std::stoi(name);
        processes.emplace_back(pid, ::getsid(pid));
        if (processes.back().second == pid &&
            testing::readFile(entry.path() / "cmdline").find("--user-data-dir=" + profile) !=
                std::string::npos) {
            leader = pid;
        }
    }
    std::vector<pid_t> members;
    for (const auto& [pid, sid] : processes) {
        if (leader != 0 && sid == leader) members.push_back(pid);
    }
    return members;
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

    // The page server answers once, after noting whether the page was asked for by its path.
    std::atomic<bool> asked = false;
    const std::string failure = testing::inPrivateNetwork([&] {
        Subprocess::Options up;
        up.argv = {"ip", "link", "set", "lo", "up"};
        ASSERT_TRUE(Subprocess::run(std::move(up), 10s).status.succeeded());
        const TestServer page([&](TestConnection& connection) {
            std::string head;
            while (head.find("\r\n\r\n") == std::string::npos) head += connection.recvExact(1, 30s);
            if (head.starts_with(std::string("GET ") + kProbePath + " HTTP/1.1\r\n")) asked = true;
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
        });

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
        socks.environment = {"PATH=/usr/bin:/bin",
                             "USQUE_STANDIN_HOSTS=" + std::string(kProbeName) +
                                 "=127.0.0.1:" + std::to_string(page.port())};
        socks.output = Subprocess::Output::discard;
        const Subprocess usque = Subprocess::start(std::move(socks));

        // Root's Chromium runs only without its sandbox; --dump-dom makes it quit once the page
        // is in.
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

        e2e::eventually([&] { return asked.load(); });
        e2e::eventually([&] { return chromiumSession(profile).empty(); }, 15s);
        for (const pid_t pid : chromiumSession(profile)) ::kill(pid, SIGKILL);
    });
    ASSERT_EQ(failure, "");
    EXPECT_TRUE(asked) << "the page was never asked for through the SOCKS port";
}

}  // namespace
}  // namespace nimbra::apprules
