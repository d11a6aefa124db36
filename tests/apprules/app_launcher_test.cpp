#include "apprules/app_launcher.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "apprules/app_launch_error.hpp"
#include "apprules/launch_target.hpp"
#include "base/unique_fd.hpp"
#include "launch_fixture.hpp"

namespace nimbra::apprules {
namespace {

constexpr int kSocks = 19999;
constexpr int kHttp = 19998;

std::vector<std::string> flatpakEnvOptions() {
    std::vector<std::string> options;
    for (const auto& [name, value] : proxyVariables(kSocks, kHttp)) {
        options.push_back("--env=" + name + "=" + value);
    }
    return options;
}

std::vector<std::string> joined(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AppLauncher, StartsEachKindOfEntryDetachedWithItsProxySettings) {
    LaunchFixture world;
    world.addStandIn("app");
    world.addStandIn("x-terminal-emulator");
    world.addStandIn("flatpak");
    const std::string profile = (world.root() / "run/nimbra/isolated-profile").string();
    const std::vector<std::string> chromiumFlags{"--proxy-server=socks5://127.0.0.1:19999",
                                                 "--user-data-dir=" + profile};
    std::filesystem::create_directories(world.root() / "work");
    // A descriptor of ours left inheritable: the started program must not get it.
    const auto marker = world.root() / "marker-not-for-children";
    UniqueFd leak(::open(marker.c_str(), O_CREAT | O_RDWR, 0600));

    struct Case {
        std::string name, id, lines;
        std::string program;
        std::vector<std::string> args;
        bool proxyEnv;
    };
    const std::vector<Case> cases = {
        {"Notes",
         "org.example.Notes",
         "Exec=app \"two words\" %U\nPath=" + (world.root() / "work").string() + "\n",
         "app",
         {"two words"},
         true},
        {"Visual Studio Code", "code", "Exec=app --new-window %F\n", "app",
         joined({{"--new-window"}, chromiumFlags}), false},
        {"Chat",
         "org.example.Chat",
         "Exec=app -v\nTerminal=true\n",
         "x-terminal-emulator",
         {"-e", "app", "-v"},
         true},
        {"Mail", "org.example.Mail",
         "Exec=flatpak run --branch=stable org.example.Mail @@u %U "
         "@@\nX-Flatpak=org.example.Mail\n",
         "flatpak",
         joined(
             {{"run"}, flatpakEnvOptions(), {"--branch=stable", "org.example.Mail", "@@u", "@@"}}),
         true},
        {"Brave", "com.brave.Browser", "Exec=flatpak run com.brave.Browser @@u %U @@\n", "flatpak",
         joined(
             {{"run", "--filesystem=" + profile, "com.brave.Browser", "@@u", "@@"}, chromiumFlags}),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        launch(world.addEntry(c.id, c.name, c.lines), kSocks, kHttp);
        // The intermediate child is already reaped and the program is not ours: nothing to wait
        // for, no zombie.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        const auto record = world.takeRecord();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->program, c.program);
        EXPECT_EQ(record->args, c.args);
        for (const auto& [name, value] : proxyVariables(kSocks, kHttp)) {
            EXPECT_EQ(record->env.count(name) ? record->env.at(name) : "", c.proxyEnv ? value : "")
                << name;
        }
        const bool hasPath = c.lines.find("Path=") != std::string::npos;
        EXPECT_EQ(record->cwd, hasPath ? world.root() / "work" : std::filesystem::current_path());
        EXPECT_EQ(record->stdio, "/dev/null /dev/null /dev/null");
        EXPECT_EQ(record->fds.find(marker.filename().string()), std::string::npos) << record->fds;
        EXPECT_EQ(record->session, record->pid);
        EXPECT_NE(record->parent, ::getpid());
    }
}

TEST(AppLauncher, RefusesWhatItCannotStartWithAReason) {
    LaunchFixture world;
    const auto app = world.addStandIn("app");
    const auto notExecutable = world.root() / "plain-file";
    std::filesystem::copy_file(app, notExecutable);
    std::filesystem::permissions(notExecutable, std::filesystem::perms::owner_read);
    using Kind = AppLaunchError::Kind;

    struct Case {
        std::string name, id, lines;
        Kind kind;
        bool bareBin = false;  // only bin/ on PATH: no terminal emulator to be found
    };
    const std::vector<Case> cases = {
        {"Gone", "gone", "Exec=/no/such/program\n", Kind::notFound},
        {"Gone too", "gone-too", "Exec=no-such-program-anywhere %U\n", Kind::notFound},
        {"Odd", "odd", "Exec=app %z\n", Kind::unlaunchable},
        {"Link", "link", "Exec=app\nType=Link\n", Kind::unlaunchable},
        {"Chromium", "chromium_chromium",
         "Exec=env BAMF_DESKTOP_FILE_HINT=x /snap/bin/chromium %U\n", Kind::confined},
        {"Shell", "shell", "Exec=" + app.string() + "\nTerminal=true\n", Kind::noTerminal, true},
        {"Plain", "plain", "Exec=" + notExecutable.string() + "\n", Kind::startFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<testing::ScopedEnv> bareBin;
        if (c.bareBin) bareBin.emplace("PATH", (world.root() / "bin").string());
        const auto item = world.addEntry(c.id, c.name, c.lines);
        try {
            launch(item, kSocks, kHttp);
            ADD_FAILURE() << "launched";
        } catch (const AppLaunchError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.what();
        }
        const auto obstacle = launchObstacle(item);
        EXPECT_EQ(obstacle ? std::optional(obstacle->kind()) : std::nullopt,
                  c.kind == Kind::startFailed ? std::nullopt : std::optional(c.kind));
    }

    const auto missing = world.root() / "apps/removed.desktop";
    try {
        AppRuleItem removed;
        removed.appPath = missing.string();
        launch(removed, kSocks, kHttp);
        ADD_FAILURE() << "launched";
    } catch (const AppLaunchError& error) {
        EXPECT_EQ(error.code(), 404);
        EXPECT_EQ(error.description(AppLanguage::english), "应用不存在: " + missing.string());
        EXPECT_EQ(error.description(AppLanguage::chinese), "应用不存在: " + missing.string());
    }
}

}  // namespace
}  // namespace nimbra::apprules
