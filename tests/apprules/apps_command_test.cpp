// `nimbra-cli apps` run as a user runs it, against a home of its own: the rules it stores are
// the ones the desktop client reads, an app starts through the proxies, and a change reaches a
// nimbrad that routes per app while the apps keep running.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/preference_store.hpp"
#include "base/subprocess.hpp"
#include "model/app_preferences.hpp"
#include "support/fake_daemon.hpp"
#include "support/file_text.hpp"
#include "support/private_cgroup.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;

constexpr int kSocksPort = 23456;

// A home with one installed application whose program records the proxy it was given, and a
// daemon socket of the test's choosing.
class AppsHome {
public:
    explicit AppsHome(std::string daemonSocket) : socket_(std::move(daemonSocket)) {
        const fs::path program = dir_ / "notes";
        testing::writeFile(program, "#!/bin/sh\necho \"$ALL_PROXY\" > " + recordFile() + "\n");
        fs::permissions(program, fs::perms::owner_all);
        testing::writeFile(
            dir_ / "data/applications/org.example.Notes.desktop",
            "[Desktop Entry]\nType=Application\nName=Notes\nExec=" + program.string() + " %U\n");
    }

    Subprocess::RunResult run(const std::vector<std::string>& args) const {
        Subprocess::Options options;
        options.argv = {NIMBRA_CLI, "apps"};
        options.argv.insert(options.argv.end(), args.begin(), args.end());
        const std::string home = dir_.path().string();
        options.environment = std::vector<std::string>{
            "HOME=" + home, "XDG_DATA_HOME=" + home + "/data",
            "XDG_DATA_DIRS=" + home + "/none",  // the machine's own applications stay out
            "NIMBRA_PREFERENCES_FILE=" + preferencesFile(), "NIMBRA_DAEMON_SOCKET=" + socket_};
        return Subprocess::run(std::move(options), std::chrono::seconds(60));
    }

    // Stores these rules and this default, as the window would have.
    void seed(const std::vector<AppRuleItem>& rules, AppRuleTarget fallback) const {
        auto file = store();
        const AppPreferences preferences(file);
        preferences.migrateIfNeeded();
        preferences.setAppRules(rules);
        preferences.setDefaultAppFallback(fallback);
        file.setInteger("socks_port", kSocksPort);
    }

    std::string recordFile() const { return (dir_ / "record").string(); }

private:
    std::string preferencesFile() const { return (dir_ / "preferences.json").string(); }
    PreferenceStore store() const { return PreferenceStore(preferencesFile()); }

    testing::TempDir dir_;
    std::string socket_;
};

struct Step {
    std::vector<std::string> args;
    int code;
    std::string out;  // a regular expression the output matches
    std::string err;  // a piece of the error output
};

void runSteps(const AppsHome& home, const std::vector<Step>& steps) {
    for (const auto& step : steps) {
        const auto result = home.run(step.args);
        SCOPED_TRACE(::testing::PrintToString(step.args) + "\n" + result.out + result.err);
        EXPECT_EQ(result.status.code, step.code);
        EXPECT_THAT(result.out, ContainsRegex(step.out));
        EXPECT_EQ(result.err.empty(), step.err.empty());
        EXPECT_THAT(result.err, HasSubstr(step.err));
    }
}

TEST(AppsCommand, EditsTheStoredRulesAndLaunchesThroughTheProxies) {
    testing::TempDir nobody;
    const AppsHome home((nobody / "nimbra.sock").string());
    // A disabled rule for the installed app: set must switch it back on, not add another.
    home.seed({{newUuid(), "Notes", "org.example.Notes", "notes", "", false}},
              AppRuleTarget::direct);
    // The list the window shows afterwards comes from the stored preferences alone.
    runSteps(home, {
                       {{"set", "org.example.Notes.desktop", "direct"},
                        0,
                        "^org.example.Notes \\(Notes\\): direct\n$",
                        ""},
                       {{"set", "not.installed", "proxy"}, 0, "^not.installed: proxy\n$", ""},
                       {{"launch", "not.installed"}, 1, "^$", "no installed application"},
                       {{"remove", "not.installed"}, 0, "rule removed", ""},
                       {{"remove", "not.installed"}, 1, "^$", "no rule for not.installed"},
                       {{"default", "proxy"}, 0, "^apps without a rule: proxy\n$", ""},
                       {{"set", "x", "sideways"}, 2, "^$", "sideways not in {proxy,direct}"},
                       {{},
                        0,
                        "^apps without a rule: proxy\nID +NAME +TARGET +ENABLED\n"
                        "org.example.Notes +Notes +direct +yes\n$",
                        ""},
                       {{"launch", "org.example.Notes"}, 0, "started Notes", ""},
                   });
    // The program runs detached and may still be writing when the command has returned.
    for (int tries = 0; testing::readFile(home.recordFile()).empty() && tries < 3000; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(testing::readFile(home.recordFile()),
              "socks5h://127.0.0.1:" + std::to_string(kSocksPort) + "\n");
}

TEST(AppsCommand, SendsTheNewSetToANimbradThatRoutesPerApp) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount cgroup2";
    testing::FakeDaemon daemon;
    const AppsHome home(daemon.socketPath());
    const std::string apps = "user.slice/user-0.slice/user@0.service/app.slice/";
    const std::string notes = apps + "app-gnome-org.example.Notes-77.scope";
    const std::string routed = R"({"ok":true,"status":{"tunnel_on":true,"app_default":"proxy"}})";
    const auto line = testing::FakeReply::line;
    daemon.script("status", {line(routed), line(routed), line(routed),
                             line(R"({"ok":true,"status":{"tunnel_on":true,"app_default":"",)"
                                  R"("app_err":"no set"}})")});
    daemon.script("app_routes", {line(R"({"ok":true})"), line(R"({"ok":false,"msg":"not now"})")});

    home.seed({}, AppRuleTarget::proxy);
    const std::string failure = testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
        cgroups.create(notes);
        cgroups.create(apps + "app-org.example.Other@1.service");
        runSteps(home,
                 {
                     {{"set", "org.example.Notes", "direct"}, 0, "applied now", ""},
                     {{"list"},
                      0,
                      "RUNNING +TRAFFIC +UNIT\n"
                      "org.example.Notes +direct +app-gnome-org.example.Notes-77.scope\n"
                      "org.example.Other +tunnel +app-org.example.Other@1.service\n",
                      ""},
                     {{"default", "direct"}, 1, "", "nimbrad refused the per-app routes: not now"},
                     // Without a set in place nimbrad is left alone: the client sends one when
                     // it connects.
                     {{"remove", "org.example.Notes"}, 0, "^[^\n]*\n$", ""},
                     {{}, 0, "all go through the tunnel — no set\n$", ""},
                 });
    });
    EXPECT_EQ(failure, "");

    std::vector<std::string> sent;
    for (const auto& request : daemon.requests()) {
        if (request.find("app_routes") != std::string::npos) sent.push_back(request);
    }
    // With the default direct, the app whose rule says direct needs no entry any more.
    EXPECT_EQ(sent, (std::vector<std::string>{
                        R"({"cmd":"app_routes","args":["proxy","direct:)" + notes + "\"]}\n",
                        R"({"cmd":"app_routes","args":["direct",""]})"
                        "\n"}));
}

}  // namespace
}  // namespace nimbra
