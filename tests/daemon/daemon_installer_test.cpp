#include "daemon/daemon_installer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/async/cancellation.hpp"
#include "base/stop_scope.hpp"
#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "daemon/daemon_error_of.hpp"
#include "daemon/launchd_files.hpp"
#include "daemon/systemd_install.hpp"
#include "daemon/user_folder.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using testing::daemonErrorOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

const fs::path kFakeAdmin = fs::path(NIMBRA_SOURCE_DIR) / "tests/support/fake_admin";
// systemd-analyze's exposure of the generated unit, in tenths (0 to 100), may not rise above this.
const std::string kMaxExposure = "26";

// What can break in the service files is the quoting of the user's paths: systemd's rules in the
// unit, XML in the property list, the shell's in the launchd script. The scripts themselves are
// run by bash in the installer tests below, on such paths.
TEST(ServiceFilesTest, UsersPathsAreQuotedForEachReader) {
    systemd::Targets targets;
    targets.libexecDirectory = "/opt/my root/libexec";
    const systemd::DaemonArguments arguments{
        DaemonFiles::in("/home/o'neil/.local/share/My \"Nimbra\" 100%"), "/run/nimbra.sock", 1000};
    EXPECT_THAT(
        text::splitLines(systemd::unitFile(targets, arguments)),
        Contains("ExecStart=\"/opt/my root/libexec/nimbrad\" -usque "
                 "\"/opt/my root/libexec/nimbra-usque\" -config "
                 "\"/home/o'neil/.local/share/My \\\"Nimbra\\\" 100%%/daemon/config.yml\" "
                 "-usque-config \"/home/o'neil/.local/share/My \\\"Nimbra\\\" "
                 "100%%/config.json\" -sock /run/nimbra.sock -listen 127.0.0.1:53 -log "
                 "\"/home/o'neil/.local/share/My \\\"Nimbra\\\" 100%%/daemon/nimbrad.log\" "
                 "-allow-uid 1000 -state-dir /var/lib/nimbrad -resolv-conf /etc/resolv.conf"));
    EXPECT_THAT(text::splitLines(systemd::unitFile(targets, arguments)),
                Contains("ReadWritePaths=\"/run\" \"/etc\" \"/var/lib/nimbrad\" "
                         "-\"/home/o'neil/.local/share/My \\\"Nimbra\\\" 100%%/daemon\" "
                         "-\"/proc/sys/net/ipv4/conf/all/src_valid_mark\""));

    const DaemonFiles files =
        DaemonFiles::in("/Users/o'neil/Library/Application Support/R&D <\"lab\">/Nimbra");
    EXPECT_THAT(text::splitLines(launchd::propertyList(files)),
                Contains("    <string>/Users/o'neil/Library/Application Support/R&amp;D "
                         "&lt;&quot;lab&quot;&gt;/Nimbra/daemon/config.yml</string>"));
    EXPECT_THAT(text::splitLines(launchd::installScript("/tmp/x/it's/nimbrad", "/tmp/x/d.plist",
                                                        "/tmp/x/nimbra-usque")),
                Contains("/usr/bin/install -o root -g wheel -m 0755 '/tmp/x/it'\\''s/nimbrad' "
                         "'/usr/local/libexec/nimbrad'"));
}

// A carriage return or line feed in a path would end a line of the unit early: systemd refuses
// the unit, and the service is gone after the install script replaced the old one. Each file is
// refused before anything is installed, naming the character.
TEST(ServiceFilesTest, ControlCharactersInAnyPathAreRefused) {
    systemd::Targets cr;
    cr.libexecDirectory = "/usr/local/lib\rexec";
    systemd::Targets escape;
    escape.unitDirectory = "/etc/systemd/\x1bsystem";
    const systemd::DaemonArguments newline{DaemonFiles::in("/home/ann/data\n"), "/run/nimbra.sock",
                                           1000};
    const systemd::DaemonArguments plain{DaemonFiles::in("/home/ann/data"), "/run/nimbra.sock",
                                         1000};
    struct Case {
        const char* file;
        std::function<void()> generate;
        const char* character;
    };
    const Case cases[] = {
        {"unit, the user's data folder", [&] { systemd::unitFile({}, newline); }, "0x0a"},
        {"unit, the install folder", [&] { systemd::unitFile(cr, plain); }, "0x0d"},
        {"install script", [&] { systemd::installScript(escape, "/tmp/nimbrad", "/tmp/u"); },
         "0x1b"},
        {"uninstall script", [&] { systemd::uninstallScript(cr); }, "0x0d"},
        {"property list", [&] { launchd::propertyList(DaemonFiles::in("/Users/ann/\x7f")); },
         "0x7f"},
        {"launchd script", [&] { launchd::installScript("/tmp/x\t/nimbrad", "/tmp/d.plist"); },
         "0x09"},
    };
    for (const Case& c : cases) {
        const DaemonError error = daemonErrorOf(c.generate);
        EXPECT_TRUE(std::holds_alternative<DaemonError::InstallFailed>(error.reason())) << c.file;
        EXPECT_THAT(error.message(), HasSubstr(std::string("control character ") + c.character))
            << c.file;
    }
}

// launchd writes the daemon's output as root and follows links: in a folder other users may
// write to, one of them could plant a link there first.
TEST(ServiceFilesTest, LaunchdWritesItsBootLogWhereNoUserCanPlantALink) {
    const auto plist =
        text::splitLines(launchd::propertyList(DaemonFiles::in("/Users/ann/Nimbra")));
    for (const char* key : {"StandardOutPath", "StandardErrorPath"}) {
        const auto at =
            std::find(plist.begin(), plist.end(), std::string("  <key>") + key + "</key>");
        ASSERT_NE(at, plist.end()) << key;
        ASSERT_NE(at + 1, plist.end()) << key;
        const std::string value = (at + 1)->substr(std::string("  <string>").size());
        const fs::path log = value.substr(0, value.find("</string>"));
        struct stat folder {};
        ASSERT_EQ(::stat(log.parent_path().c_str(), &folder), 0) << log;
        EXPECT_EQ(folder.st_uid, 0u) << log;
        EXPECT_EQ(folder.st_mode & (S_IWGRP | S_IWOTH), 0u) << log;
    }
}

// systemd's own reading of the generated unit: every line understood (a directive it does not
// know, or a path it cannot parse, is dropped with a warning, and the protection with it), and an
// exposure no higher than the confinement reached. The score is printed for the record.
TEST(ServiceFilesTest, SystemdAcceptsTheUnitAndFindsItConfined) {
    TempDir dir;
    const fs::path unit = dir / systemd::kUnitName;
    writeFile(unit, systemd::unitFile({}, {DaemonFiles::in("/home/o'neil/My \"Nimbra\": 100%"),
                                           "/run/nimbra.sock", 1000}));
    Subprocess::Options options;
    options.argv = {"systemd-analyze", "security", "--offline=yes", "--threshold=" + kMaxExposure,
                    unit.string()};
    const auto result = Subprocess::run(std::move(options), std::chrono::seconds(60));
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.status.succeeded()) << result.out;
    const auto overall = result.out.rfind("Overall exposure level");
    ASSERT_NE(overall, std::string::npos) << result.out;
    std::cout << result.out.substr(overall);
}

TEST(LaunchdRunAdminTest, MapsTheOsascriptOutcome) {
    TempDir dir;
    ScopedEnv log("FAKE_ADMIN_LOG", (dir / "admin.log").string());
    const std::string osascript = (kFakeAdmin / "osascript").string();
    const fs::path script = dir / "it's" / "install.sh";

    ScopedEnv ok("FAKE_OSASCRIPT_MODE", "ok");
    EXPECT_NO_THROW(launchd::runAdmin(script, osascript));
    EXPECT_THAT(text::splitLines(readFile(dir / "admin.log")),
                ElementsAre("osascript", "-e",
                            "do shell script \"/bin/bash '" + dir.path().string() +
                                "/it'\\''s/install.sh'\" with administrator privileges"));

    struct Case {
        const char* mode;
        bool canceled;
        const char* message;
    };
    for (const Case& c : {
             Case{"cancel", true, ""},
             Case{"cancel-code", true, ""},
             Case{"fail", false, "install: /usr/local/libexec/nimbrad: Read-only file system\n"},
             Case{"silent", false, "osascript status 3"},
         }) {
        ScopedEnv mode("FAKE_OSASCRIPT_MODE", c.mode);
        const DaemonError error = daemonErrorOf([&] { launchd::runAdmin(script, osascript); });
        if (c.canceled) {
            EXPECT_TRUE(std::holds_alternative<DaemonError::InstallCanceled>(error.reason()))
                << c.mode;
        } else {
            EXPECT_TRUE(std::holds_alternative<DaemonError::InstallFailed>(error.reason()))
                << c.mode;
            EXPECT_EQ(error.message(), c.message);
        }
    }
    const DaemonError missing =
        daemonErrorOf([&] { launchd::runAdmin(script, (dir / "no-osascript").string()); });
    EXPECT_THAT(missing.message(), HasSubstr("no-osascript"));
}

// The Linux installer on a temporary root: fake pkexec and systemctl, the install script really
// run by bash, and a "daemon" that answers once the fake systemctl has restarted the unit.
class SystemdInstallerTest : public ::testing::Test {
protected:
    SystemdInstallerTest() {
        fs::create_directories(runtime_);
        writeFile(source_, "nimbrad build 1");
        fs::permissions(source_, fs::perms(0755));
        writeFile(usque_, "usque build 1");
        fs::permissions(usque_, fs::perms(0700));
        options_.candidates = {root_ / "missing" / "nimbrad", source_};
        options_.usque = usque_;
        options_.workDirectory = root_ / "home" / "o'neil" / ".local share" / "Nimbra";
        options_.uid = ::getuid();
        options_.gid = ::getgid();
        options_.socketPath = (root_ / "nimbra.sock").string();
        options_.initialConfig.dnsMode = "adguard";
        options_.initialConfig.http2 = true;
        options_.systemd.libexecDirectory = root_ / "usr" / "local" / "libexec";
        options_.systemd.unitDirectory = root_ / "etc" / "systemd" / "system";
        options_.systemd.systemctl = (kFakeAdmin / "systemctl").string();
        options_.systemd.pkexec = (kFakeAdmin / "pkexec").string();
        options_.systemd.owner = std::to_string(::getuid());
        options_.systemd.group = std::to_string(::getgid());
        options_.systemd.asRoot = false;
        options_.socketAttempts = 3;
        options_.socketRetry = std::chrono::milliseconds(1);
        options_.ping = [this] {
            ++pings_;
            return answering_ || readFile(log_).find("systemctl restart") != std::string::npos;
        };
        options_.onStep = [this](const std::string& text) { steps_.push_back(text); };
    }

    fs::path installed() const { return options_.systemd.installedExecutable(); }
    fs::path installedUsque() const { return options_.systemd.installedUsque(); }
    fs::path config() const { return DaemonFiles::in(options_.workDirectory).config; }
    std::vector<std::string> adminLog() const { return text::splitLines(readFile(log_)); }
    // pkexec ran bash on the staged install.sh once, and the script drove systemctl.
    void expectInstallLog() const {
        const auto log = adminLog();
        ASSERT_EQ(log.size(), 5u);
        const std::string prompt =
            "pkexec /bin/bash " + runtime_.string() + "/nimbra-daemon-install-";
        EXPECT_EQ(log[0].substr(0, prompt.size()), prompt);
        EXPECT_THAT(log[0], ::testing::EndsWith("/install.sh"));
        EXPECT_THAT(std::vector<std::string>(log.begin() + 1, log.end()),
                    ElementsAre("systemctl stop nimbra-daemon.service", "systemctl daemon-reload",
                                "systemctl enable nimbra-daemon.service",
                                "systemctl restart nimbra-daemon.service"));
    }
    bool stagingLeftBehind() const { return !fs::is_empty(runtime_); }

    TempDir dir_;
    fs::path root_ = dir_ / "root with space";
    fs::path runtime_ = root_ / "run" / "user";
    fs::path log_ = dir_ / "admin.log";
    fs::path source_ = root_ / "build" / "bin" / "nimbrad";
    fs::path usque_ = root_ / "home" / "o'neil" / ".local" / "bin" / "usque";
    ScopedEnv logEnv_{"FAKE_ADMIN_LOG", log_.string()};
    ScopedEnv runtimeEnv_{"XDG_RUNTIME_DIR", runtime_.string()};
    ScopedEnv pkexecMode_{"FAKE_PKEXEC_MODE", "run"};
    DaemonInstallOptions options_;
    bool answering_ = false;
    int pings_ = 0;
    std::vector<std::string> steps_;
};

TEST_F(SystemdInstallerTest, FreshInstallPromptsOnceAndWaitsForTheSocket) {
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);

    expectInstallLog();
    EXPECT_EQ(readFile(installed()), "nimbrad build 1");
    EXPECT_EQ(fs::status(installed()).permissions(), fs::perms(0755));
    EXPECT_EQ(readFile(installedUsque()), "usque build 1");
    EXPECT_EQ(fs::status(installedUsque()).permissions(), fs::perms(0755));
    const fs::path unit = options_.systemd.unitFile();
    EXPECT_EQ(fs::status(unit).permissions(), fs::perms(0644));
    EXPECT_THAT(readFile(unit), HasSubstr(" -allow-uid " + std::to_string(::getuid()) + " "));
    EXPECT_THAT(readFile(unit), HasSubstr("-sock \"" + options_.socketPath + "\""));
    EXPECT_EQ(readFile(config()), "dns:\n  mode: adguard\nhttp2: true\nexcludes: []");
    EXPECT_FALSE(stagingLeftBehind());
    EXPECT_EQ(pings_, 2);  // the up-to-date check, then the first wait attempt
    ASSERT_EQ(steps_.size(), 6u);
    EXPECT_EQ(steps_[1],
              "usque to install as " + installedUsque().string() + ": " + usque_.string());
    EXPECT_EQ(steps_[3], "asking for administrator rights (pkexec) to install " +
                             installed().string() + ", " + installedUsque().string() + " and " +
                             unit.string());
    EXPECT_EQ(steps_[5], "nimbrad answers on " + options_.socketPath);
}

TEST_F(SystemdInstallerTest, AnIdenticalAnsweringDaemonIsLeftAloneAndAnyDifferenceReinstalls) {
    ASSERT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
    fs::remove(config());
    fs::remove(log_);
    const auto installedTime = fs::last_write_time(installed());
    answering_ = true;
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::upToDate);
    EXPECT_FALSE(fs::exists(log_));      // no prompt, no systemctl
    EXPECT_FALSE(fs::exists(config()));  // not even the first config
    EXPECT_EQ(fs::last_write_time(installed()), installedTime);
    EXPECT_FALSE(stagingLeftBehind());

    struct Case {
        const char* name;
        std::function<void()> change;
    };
    const Case cases[] = {
        {"one byte of the build", [&] { writeFile(source_, "nimbrad build 2"); }},
        {"a newer usque", [&] { writeFile(usque_, "usque build 2"); }},
        {"the installed unit", [&] { writeFile(options_.systemd.unitFile(), "[Unit]\n"); }},
        {"the installing user", [&] { options_.uid += 1; }},
        {"an installed copy that is not executable",
         [&] { fs::permissions(installed(), fs::perms(0644)); }},
        {"a daemon that does not answer, all else identical", [&] { answering_ = false; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(log_);
        c.change();
        EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
        expectInstallLog();
        EXPECT_EQ(readFile(installed()), readFile(source_));
        EXPECT_EQ(readFile(installedUsque()), readFile(usque_));
    }
}

TEST_F(SystemdInstallerTest, PromptFailuresInstallNothing) {
    struct Case {
        const char* name;
        const char* mode;
        std::string pkexec;
        bool canceled;
        std::vector<std::string> fragments;
    };
    const Case cases[] = {
        {"dismissed", "cancel", options_.systemd.pkexec, true, {}},
        {"not authorized",
         "deny",
         options_.systemd.pkexec,
         false,
         {"not authorized to install it (pkexec status 127: Error executing command as another "
          "user: Not authorized",
          "run `sudo nimbra-cli daemon install`"}},
        {"no pkexec",
         "run",
         (root_ / "no" / "pkexec").string(),
         false,
         {"is not available to ask for administrator rights",
          "run `sudo nimbra-cli daemon install`"}},
    };
    for (const Case& c : cases) {
        ScopedEnv mode("FAKE_PKEXEC_MODE", c.mode);
        options_.systemd.pkexec = c.pkexec;
        const DaemonError error =
            daemonErrorOf([&] { DaemonInstaller::ensureInstalled(options_); });
        EXPECT_EQ(std::holds_alternative<DaemonError::InstallCanceled>(error.reason()), c.canceled)
            << c.name;
        for (const auto& fragment : c.fragments) {
            EXPECT_THAT(error.message(), HasSubstr(fragment)) << c.name;
        }
        EXPECT_FALSE(fs::exists(installed())) << c.name;
        EXPECT_FALSE(fs::exists(options_.systemd.unitFile())) << c.name;
        EXPECT_FALSE(stagingLeftBehind()) << c.name;
    }
}

// A connect cancelled while the prompt waits (its step runs under the task's StopScope) ends
// pkexec instead of waiting for an answer that may never come, and installs nothing.
TEST_F(SystemdInstallerTest, ACancelWhileThePromptWaitsEndsItAndInstallsNothing) {
    ScopedEnv mode("FAKE_PKEXEC_MODE", "hang");
    std::stop_source cancel;
    std::jthread canceller([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!fs::exists(log_) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        cancel.request_stop();
    });
    const StopScope scope(cancel.get_token());
    EXPECT_THAT([&] { DaemonInstaller::ensureInstalled(options_); },
                ::testing::Throws<std::system_error>(::testing::Truly(
                    [](const std::system_error& e) { return isCancellation(e); })));
    EXPECT_FALSE(fs::exists(installed()));
    EXPECT_FALSE(stagingLeftBehind());
}

TEST_F(SystemdInstallerTest, AFailingStepIsReportedWithItsOutputNotAsPkexecs) {
    // bash's "command not found" status is 127, the same as pkexec's "not authorized".
    ScopedEnv fail("FAKE_SYSTEMCTL_FAIL", "enable");
    ScopedEnv status("FAKE_SYSTEMCTL_STATUS", "127");
    const DaemonError error = daemonErrorOf([&] { DaemonInstaller::ensureInstalled(options_); });
    ASSERT_TRUE(std::holds_alternative<DaemonError::InstallFailed>(error.reason()));
    EXPECT_THAT(error.message(),
                HasSubstr("Failed to enable nimbra-daemon.service: Unit nimbra-daemon.service has "
                          "a bad setting."));
    EXPECT_THAT(error.message(), HasSubstr("step failed (status 127)"));
    EXPECT_FALSE(stagingLeftBehind());
}

TEST_F(SystemdInstallerTest, ASocketThatNeverAnswersFailsAfterEveryAttempt) {
    options_.ping = [this] {
        ++pings_;
        return false;
    };
    const DaemonError error = daemonErrorOf([&] { DaemonInstaller::ensureInstalled(options_); });
    EXPECT_EQ(error.description(AppLanguage::english),
              "Failed to install nimbrad: socket not ready after install — see journalctl -u "
              "nimbra-daemon.service");
    EXPECT_EQ(pings_, 1 + options_.socketAttempts);
    EXPECT_EQ(readFile(installed()), "nimbrad build 1");  // installed, just not answering
}

// A daemon a test or a developer started by hand is used as it is, never installed over.
TEST_F(SystemdInstallerTest, ADaemonStartedElsewhereIsOnlyAskedWhetherItAnswers) {
    options_.startedElsewhere = true;
    answering_ = true;
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::upToDate);
    answering_ = false;
    const DaemonError error = daemonErrorOf([&] { DaemonInstaller::ensureInstalled(options_); });
    EXPECT_NE(error.description(AppLanguage::english).find("NIMBRA_DAEMON_SOCKET"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(installed()));
    EXPECT_FALSE(fs::exists(log_));  // no prompt, no systemctl
}

TEST_F(SystemdInstallerTest, NoExecutableCandidateIsBinaryNotFound) {
    fs::permissions(source_, fs::perms(0644));
    const DaemonError error = daemonErrorOf([&] { DaemonInstaller::ensureInstalled(options_); });
    EXPECT_TRUE(std::holds_alternative<DaemonError::BinaryNotFound>(error.reason()));
    EXPECT_FALSE(fs::exists(log_));
}

// The daemon answers status without usque; the step line says how to get the tunnel. A copy an
// earlier install left stays, and is not compared.
TEST_F(SystemdInstallerTest, WithoutUsqueNimbradIsInstalledAndTheStepSaysWhatIsMissing) {
    options_.usque.reset();
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
    expectInstallLog();
    EXPECT_EQ(readFile(installed()), "nimbrad build 1");
    EXPECT_FALSE(fs::exists(installedUsque()));
    EXPECT_THAT(readFile(options_.systemd.unitFile()),
                HasSubstr(" -usque \"" + installedUsque().string() + "\" "));
    EXPECT_THAT(steps_, ::testing::Contains(
                            "no usque found: the tunnel needs usque (scripts/fetch-usque) and then "
                            "`nimbra-cli daemon install` again"));

    writeFile(installedUsque(), "usque build 0");
    answering_ = true;
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::upToDate);
    EXPECT_EQ(readFile(installedUsque()), "usque build 0");
}

TEST_F(SystemdInstallerTest, UninstallRemovesTheServiceButNotTheUsersFiles) {
    ASSERT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
    fs::remove(log_);
    DaemonInstaller::uninstall(options_);
    EXPECT_EQ(adminLog().size(), 4u);
    EXPECT_EQ(adminLog().at(1), "systemctl disable --now nimbra-daemon.service");
    EXPECT_FALSE(fs::exists(installed()));
    EXPECT_FALSE(fs::exists(installedUsque()));
    EXPECT_FALSE(fs::exists(options_.systemd.unitFile()));
    EXPECT_TRUE(fs::exists(config()));
    EXPECT_TRUE(fs::exists(usque_));
    EXPECT_FALSE(stagingLeftBehind());
}

// From the package, the package's root helper installs the unit for the package's nimbrad: one
// prompt for the helper, with the user's folder and usque where they really are, no script.
TEST_F(SystemdInstallerTest, FromThePackageItsRootHelperIsAskedInsteadOfAStagedScript) {
    options_.packaged = PackagedDaemon{source_, "/bin/true"};
    const std::string asked = "pkexec /bin/true install " + options_.workDirectory.string() + " " +
                              fs::canonical(usque_).string();
    options_.ping = [&] { return readFile(log_).find(asked) != std::string::npos; };
    EXPECT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
    EXPECT_THAT(adminLog(), ElementsAre(asked));
    EXPECT_THAT(steps_, Contains("asking for administrator rights (pkexec) to install " +
                                 installedUsque().string() + " and " +
                                 options_.systemd.unitFile().string() + ", which runs " +
                                 source_.string()));
    EXPECT_FALSE(fs::exists(options_.systemd.libexecDirectory));

    DaemonInstaller::uninstall(options_);
    EXPECT_THAT(adminLog(), ElementsAre(asked, "pkexec /bin/true uninstall"));
}

uid_t ownerOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_uid;
}

constexpr uid_t kNobody = 65534;

// Run as root for a user (sudo), the script runs without pkexec, and every folder the installer
// creates in their home is theirs, so their own client can still write its data folder; what was
// there before keeps its owner.
TEST_F(SystemdInstallerTest, RunAsRootForAUserWhatItCreatesInTheHomeIsTheirs) {
    if (::geteuid() != 0) GTEST_SKIP() << "handing files to another user needs root";
    options_.systemd.asRoot = true;
    options_.uid = kNobody;
    options_.gid = kNobody;
    const fs::path home = root_ / "home" / "o'neil";
    ASSERT_EQ(DaemonInstaller::ensureInstalled(options_), DaemonInstallOutcome::installed);
    EXPECT_EQ(adminLog().at(0), "systemctl stop nimbra-daemon.service");
    EXPECT_EQ(readFile(installed()), "nimbrad build 1");
    for (const fs::path& created : {home / ".local share", home / ".local share" / "Nimbra",
                                    options_.workDirectory / "daemon", config()}) {
        EXPECT_EQ(ownerOf(created), kNobody) << created;
    }
    EXPECT_EQ(ownerOf(home), 0u);
}

// Between creating a file and handing it over, the user may put a link in its place: the link is
// handed over, never the file it points to.
TEST(UserFolderTest, HandingOverALinkLeavesItsTargetAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "handing files to another user needs root";
    TempDir dir;
    const fs::path target = dir / "shadow";
    writeFile(target, "root's");
    const fs::path link = dir / "config.yml";
    fs::create_symlink(target, link);
    user_folder::handOver(link, {kNobody, kNobody});
    EXPECT_EQ(ownerOf(target), 0u);
    EXPECT_EQ(ownerOf(link), kNobody);
}

TEST(DaemonCommandTest, StatusWithoutADaemonSaysHowToGetOne) {
    TempDir dir;
    const std::string sock = (dir / "nimbra.sock").string();
    Subprocess::Options options;
    options.argv = {NIMBRA_CLI, "daemon", "status"};
    options.environment =
        std::vector<std::string>{"NIMBRA_DAEMON_SOCKET=" + sock, "HOME=" + dir.path().string()};
    const auto result = Subprocess::run(std::move(options), std::chrono::seconds(60));
    EXPECT_EQ(result.status.code, 1);
    EXPECT_EQ(result.err, "Cannot reach nimbrad: connect " + sock +
                              " failed (errno=2) — install nimbrad first\n");
}

}  // namespace
}  // namespace nimbra
