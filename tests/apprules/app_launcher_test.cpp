#include "apprules/app_launcher.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include "apprules/app_launch_error.hpp"
#include "apprules/app_unit_name.hpp"
#include "apprules/launch_target.hpp"
#include "base/subprocess.hpp"
#include "base/unique_fd.hpp"
#include "support/file_text.hpp"
#include "support/line_reader.hpp"
#include "support/private_cgroup.hpp"
#include "support/private_dbus_session.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;
using Record = std::map<std::string, std::vector<std::string>>;

constexpr int kSocks = 19999;
constexpr int kHttp = 19998;

// A stand-in that writes what it was started with, one "key=value" a line. Absolute tool paths:
// a case may leave nothing but bin/ on PATH.
constexpr const char* kRecorder = R"SH(#!/bin/sh
r=@RECORD@
cgroup="$(/usr/bin/sed -n 's/^0:://p' /proc/$$/cgroup)"
stdio="$(/usr/bin/readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 | /usr/bin/tr '\n' ' ')"
fds="$(/usr/bin/ls -l /proc/$$/fd | /usr/bin/tr '\n' ' ')"
{
  printf 'program=%s\n' "${0##*/}"
  for a in "$@"; do printf 'arg=%s\n' "$a"; done
  printf 'cwd=%s\npid=%s\nparent=%s\nsession=%s\n' "$(pwd)" $$ "$PPID" "$(/usr/bin/cut -d' ' -f6 /proc/$$/stat)"
  printf 'stdio=%s\nfds=%s\ncgroup=%s\n' "$stdio" "$fds" "$cgroup"
  /usr/bin/env | /usr/bin/sed 's/^/env=/'
} > "$r.part"
/usr/bin/mv "$r.part" "$r"
)SH";

// bin/ first on PATH, a private runtime folder, desktop entries written on demand.
class LaunchWorld {
public:
    LaunchWorld()
        : path_("PATH", (dir_ / "bin").string() + ":" + std::getenv("PATH")),
          runtime_("XDG_RUNTIME_DIR", (dir_ / "run").string()),
          allProxy_("ALL_PROXY", std::nullopt),
          // The user's own service manager is never asked for scopes by a test.
          bus_("DBUS_SESSION_BUS_ADDRESS", std::nullopt) {
        fs::create_directories(dir_ / "run");
        ::chmod((dir_ / "run").c_str(), 0700);
    }

    fs::path operator/(const std::string& name) const { return dir_ / name; }

    fs::path addStandIn(const std::string& name) {
        std::string script = kRecorder;
        script.replace(script.find("@RECORD@"), 8, (dir_ / "record").string());
        testing::writeFile(dir_ / "bin" / name, script);
        fs::permissions(dir_ / "bin" / name, fs::perms::owner_all);
        return dir_ / "bin" / name;
    }

    AppRuleItem addEntry(const std::string& id, const std::string& name, const std::string& lines) {
        const auto path = dir_ / "apps" / (id + ".desktop");
        testing::writeFile(path, "[Desktop Entry]\nType=Application\nName=" + name + "\n" + lines);
        AppRuleItem item;
        item.name = name;
        item.bundleId = id;
        item.appPath = path.string();
        return item;
    }

    // The next start's record; the stand-in was started before launch() returned and only has
    // to finish writing.
    Record takeRecord() {
        const auto path = dir_ / "record";
        for (int tries = 0; !fs::exists(path) && tries < 3000; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::istringstream lines(testing::readFile(path));
        fs::remove(path);
        Record record;
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            record[line.substr(0, eq)].push_back(line.substr(eq + 1));
        }
        return record;
    }

private:
    testing::TempDir dir_;
    testing::ScopedEnv path_;
    testing::ScopedEnv runtime_;
    testing::ScopedEnv allProxy_;
    testing::ScopedEnv bus_;
};

std::vector<std::string> joined(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AppLauncher, StartsEachKindOfEntryDetachedWithItsProxySettings) {
    LaunchWorld world;
    for (const char* name : {"app", "x-terminal-emulator", "flatpak"}) world.addStandIn(name);
    const std::string profile = (world / "run/nimbra/isolated-profile").string();
    const std::vector<std::string> chromiumFlags{"--proxy-server=socks5://127.0.0.1:19999",
                                                 "--user-data-dir=" + profile};
    std::vector<std::string> proxyEnv, flatpakEnv;
    for (const auto& [name, value] : proxyVariables(kSocks, kHttp)) {
        proxyEnv.push_back(name + "=" + value);
        flatpakEnv.push_back("--env=" + name + "=" + value);
    }
    fs::create_directories(world / "work");
    // A descriptor of ours left inheritable: the started program must not get it.
    const auto marker = world / "marker-not-for-children";
    UniqueFd leak(::open(marker.c_str(), O_CREAT | O_RDWR, 0600));

    struct Case {
        std::string name, id, lines, program;
        std::vector<std::string> args;
        bool withProxyEnv;
        std::string cwd = fs::current_path();
    };
    const std::vector<Case> cases = {
        {"Notes",
         "org.example.Notes",
         "Exec=app \"two words\" %U\nPath=" + (world / "work").string() + "\n",
         "app",
         {"two words"},
         true,
         world / "work"},
        {"Visual Studio Code", "code", "Exec=app --new-window %F\n", "app",
         joined({{"--new-window"}, chromiumFlags}), false},
        {"Chat",
         "org.example.Chat",
         "Exec=app -v\nTerminal=true\n",
         "x-terminal-emulator",
         {"-e", "app", "-v"},
         true},
        {"Mail", "org.example.Mail",
         "Exec=flatpak run --branch=stable org.example.Mail @@u %U @@\n", "flatpak",
         joined({{"run"}, flatpakEnv, {"--branch=stable", "org.example.Mail", "@@u", "@@"}}), true},
        {"Brave", "com.brave.Browser", "Exec=flatpak run com.brave.Browser @@u %U @@\n", "flatpak",
         joined(
             {{"run", "--filesystem=" + profile, "com.brave.Browser", "@@u", "@@"}, chromiumFlags}),
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        launch(world.addEntry(c.id, c.name, c.lines), kSocks, kHttp);
        // The intermediate child is reaped and the program is not ours: no zombie to collect.
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        auto seen = world.takeRecord();
        EXPECT_EQ(seen["program"], std::vector{c.program});
        EXPECT_EQ(seen["arg"], c.args);
        for (const auto& variable : proxyEnv) {
            EXPECT_EQ(std::ranges::count(seen["env"], variable), c.withProxyEnv) << variable;
        }
        EXPECT_EQ(seen["cwd"], std::vector{c.cwd});
        EXPECT_EQ(seen["stdio"], std::vector<std::string>{"/dev/null /dev/null /dev/null "});
        EXPECT_EQ(seen["fds"].at(0).find(marker.filename()), std::string::npos);
        EXPECT_EQ(seen["session"], seen["pid"]);  // a session of its own
        EXPECT_NE(seen["parent"], std::vector{std::to_string(::getpid())});
    }
}

TEST(AppLauncher, RefusesWhatItCannotStartWithAReason) {
    LaunchWorld world;
    const auto app = world.addStandIn("app");
    const auto notExecutable = world / "plain-file";
    fs::copy_file(app, notExecutable);
    fs::permissions(notExecutable, fs::perms::owner_read);
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
        if (c.bareBin) bareBin.emplace("PATH", (world / "bin").string());
        const auto item = world.addEntry(c.id, c.name, c.lines);
        try {
            launch(item, kSocks, kHttp);
            ADD_FAILURE() << "launched";
        } catch (const AppLaunchError& error) {
            EXPECT_EQ(error.kind(), c.kind) << error.what();
        }
        // Known before anything starts, except what only the exec can tell.
        const auto obstacle = launchObstacle(item);
        EXPECT_EQ(obstacle ? std::optional(obstacle->kind()) : std::nullopt,
                  c.kind == Kind::startFailed ? std::nullopt : std::optional(c.kind));
    }

    AppRuleItem removed;
    removed.appPath = (world / "apps/removed.desktop").string();
    try {
        launch(removed, kSocks, kHttp);
        ADD_FAILURE() << "launched";
    } catch (const AppLaunchError& error) {
        EXPECT_EQ(error.code(), 404);
        for (auto language : kAllAppLanguages) {
            EXPECT_EQ(error.description(language), "应用不存在: " + removed.appPath);
        }
    }
}

}  // namespace
}  // namespace nimbra::apprules

namespace nimbra::apprules {
namespace {

// The user's manager is a stand-in on a private bus that moves the process 200 ms after it has
// answered, as systemd moves it once the scope's job runs: a program let go on the answer alone
// would read its old cgroup first.
TEST(AppLauncher, StartsTheProgramInAScopeOfItsOwnFromItsFirstInstruction) {
    if (::geteuid() != 0) GTEST_SKIP() << "making cgroups needs root";
    const std::string why = testing::inPrivateCgroup([](testing::PrivateCgroups& cgroups) {
        LaunchWorld world;
        world.addStandIn("app");
        const std::string appSlice = cgroups.scratch() + "/app.slice";
        cgroups.create(appSlice);
        testing::PrivateDbusSession bus(world / "dbus");
        testing::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address());
        Subprocess::Options options;
        options.argv = {std::string(NIMBRA_SOURCE_DIR) +
                            "/tests/support/fake_user_manager/systemd-user-manager",
                        cgroups.absolute(appSlice), "0.2"};
        auto manager = Subprocess::start(std::move(options));
        testing::LineReader said(manager.releaseStdout());
        ASSERT_EQ(said.next(std::chrono::seconds(10)), "ready");

        launch(world.addEntry("org.example.my-notes", "Notes", "Exec=app\n"), kSocks, kHttp);
        const std::string cgroup = world.takeRecord()["cgroup"].at(0);
        const fs::path scope = fs::path(cgroup).filename();
        EXPECT_EQ(fs::path(cgroup).parent_path(), "/" + appSlice);
        EXPECT_TRUE(scope.string().starts_with("app-nimbra-org.example.my\\x2dnotes-")) << scope;
        EXPECT_EQ(desktopIdOfUnit(scope.string()), "org.example.my-notes");

        // The recorder has ended; its scope's cgroup is the manager's, removed here in its place.
        const auto folder = cgroups.absolute(appSlice) + "/" + scope.string();
        for (int tries = 0; !testing::readFile(folder + "/cgroup.procs").empty() && tries < 500;
             ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(::rmdir(folder.c_str()), 0) << folder;
    });
    EXPECT_EQ(why, "");
}

}  // namespace
}  // namespace nimbra::apprules
