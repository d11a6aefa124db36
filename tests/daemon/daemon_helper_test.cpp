#include "daemon/daemon_helper.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "daemon/packaged_daemon.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::readFile;
using testing::ScopedEnv;
using ::testing::StartsWith;
using testing::TempDir;
using testing::writeFile;

constexpr uid_t kNobody = 65534;

void giveToNobody(const fs::path& path) {
    ASSERT_EQ(::lchown(path.c_str(), kNobody, kNobody), 0) << path;
}

// The places the real helper would write; a refused run must leave them as they were.
std::vector<bool> realPlacesPresent() {
    const auto places = daemon_helper::Places::standard();
    return {fs::exists(places.targets.unitFile()), fs::exists(places.targets.installedUsque())};
}

// The helper as pkexec starts it, given lists it was not made for: each is refused with one
// line and status 2 before anything is touched (on this machine no package is installed, so
// the refusals are told apart by their reason).
TEST(DaemonHelperProgramTest, RefusesEveryOtherArgumentListAndChangesNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const fs::path data = dir / "Nimbra";
    fs::create_directory(data);
    giveToNobody(data);
    fs::create_directory_symlink(data, dir / "link");
    // A copy another user can reach: the build tree may sit in root's private home.
    const fs::path helper = dir / "nimbra-daemon-helper";
    fs::copy_file(NIMBRA_DAEMON_HELPER, helper);
    const std::string nobody = std::to_string(kNobody);
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> pkexecUid;
        std::string reason;
        bool asNobody = false;
    };
    const Case cases[] = {
        {{}, nobody, "usage:"},
        {{"remove"}, nobody, "usage:"},
        {{"uninstall", "--now"}, nobody, "usage:"},
        {{"install"}, nobody, "usage:"},
        {{"install", data.string(), "/usr/bin/true", "extra"}, nobody, "usage:"},
        {{"install", "Nimbra"}, nobody, "not an absolute path"},
        {{"install", data.string() + "/../Nimbra"}, nobody, "not a plain absolute path"},
        {{"install", data.string() + "/"}, nobody, "not a plain absolute path"},
        {{"install", (dir / "link").string()}, nobody, "is a symbolic link"},
        {{"install", "/" + std::string(2000, 'a')}, nobody, "longer than 1024 bytes"},
        {{"install", data.string() + "\n[Service]"}, nobody, "control character"},
        {{"install", dir.path().string()}, nobody, "is not owned by uid 65534"},
        {{"install", data.string()}, std::nullopt, "PKEXEC_UID is not set"},
        {{"install", data.string()}, nobody + "x", "PKEXEC_UID is not a uid"},
        {{"uninstall"}, nobody, "must run as root", true},
    };
    const auto before = realPlacesPresent();
    for (const Case& c : cases) {
        Subprocess::Options options;
        if (c.asNobody)
            options.argv = {"setpriv", "--reuid=" + nobody, "--regid=" + nobody, "--clear-groups"};
        options.argv.push_back(helper.string());
        options.argv.insert(options.argv.end(), c.arguments.begin(), c.arguments.end());
        options.environment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
        if (c.pkexecUid) options.environment->push_back("PKEXEC_UID=" + *c.pkexecUid);
        const auto result = Subprocess::run(std::move(options), std::chrono::seconds(60));
        const std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(result.status.code, 2) << shown << ": " << result.err;
        EXPECT_THAT(result.err, StartsWith("nimbra-daemon-helper: refused: ")) << shown;
        EXPECT_THAT(result.err, HasSubstr(c.reason)) << shown;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown;
    }
    EXPECT_EQ(realPlacesPresent(), before);
}

// The helper on a temporary root with a stand-in systemctl: it writes the unit the installer
// renders, for the package's nimbrad, and root's own copy of the user's usque. Anything else in
// the user's place (a link to root's secrets, a FIFO that would block a read forever, a file
// of another user's or root's they may not read, a path through a link, a file behind a folder they
// cannot enter, a file too large) is refused before anything is written.
TEST(DaemonHelperTest, CopiesOnlyThePlainFileTheUserOwnsAndWritesTheInstallersUnit) {
    if (::geteuid() != 0) GTEST_SKIP() << "the helper runs as root";
    TempDir dir;
    fs::permissions(dir.path(), fs::perms(0755));
    const fs::path root = dir / "root";
    daemon_helper::Places places;
    places.targets.libexecDirectory = root / "usr/local/libexec";
    places.targets.unitDirectory = root / "etc/systemd/system";
    places.targets.systemctl =
        std::string(NIMBRA_SOURCE_DIR) + "/tests/support/fake_admin/systemctl";
    places.targets.packagedExecutable = root / "usr/libexec/nimbra/nimbrad";
    places.socket = "/run/nimbra.sock";
    writeFile(*places.targets.packagedExecutable, "nimbrad");
    fs::permissions(*places.targets.packagedExecutable, fs::perms(0755));

    const fs::path home = dir / "home";
    const fs::path data = home / "Nimbra";
    const fs::path usque = home / "usque";
    fs::create_directories(data);
    writeFile(usque, "usque build 1");
    for (const fs::path& path : {home, data, usque}) giveToNobody(path);
    const hostile_path::User user{kNobody, kNobody};
    daemon_helper::Request request{daemon_helper::Request::Verb::install, data, std::nullopt};

    const auto attempt = [&](const fs::path& source) {
        request.usque = source;
        return daemon_helper::prepareInstall(places, user, request);
    };
    struct Attack {
        const char* name;
        std::function<fs::path()> plant;
        const char* reason;
    };
    const Attack attacks[] = {
        {"a link to /etc/shadow",
         [&] {
             fs::create_symlink("/etc/shadow", home / "shadow");
             return home / "shadow";
         },
         "is a symbolic link"},
        {"a FIFO",
         [&] {
             ::mkfifo((home / "fifo").c_str(), 0644);
             giveToNobody(home / "fifo");
             return home / "fifo";
         },
         "is not a regular file"},
        {"root's secret in the user's folder",
         [&] {
             writeFile(home / "roots", "secret");
             fs::permissions(home / "roots", fs::perms(0600));
             return home / "roots";
         },
         "Permission denied"},
        {"another user's file",
         [&] {
             writeFile(home / "theirs", "usque");
             EXPECT_EQ(::lchown((home / "theirs").c_str(), kNobody - 1, kNobody - 1), 0);
             return home / "theirs";
         },
         "is not owned by uid 65534"},
        {"a folder of the path is a link",
         [&] {
             fs::create_directory_symlink(home, dir / "alias");
             return dir / "alias" / "usque";
         },
         "is a symbolic link"},
        {"behind a folder only root may enter",
         [&] {
             fs::create_directory(dir / "private");
             fs::permissions(dir / "private", fs::perms(0700));
             writeFile(dir / "private" / "usque", "usque");
             giveToNobody(dir / "private" / "usque");
             return dir / "private" / "usque";
         },
         "Permission denied"},
        {"larger than any usque",
         [&] {
             writeFile(home / "huge", "");
             fs::resize_file(home / "huge", daemon_helper::kMaxUsqueSize + 1);
             giveToNobody(home / "huge");
             return home / "huge";
         },
         "is larger than"},
    };
    for (const Attack& attack : attacks) {
        const fs::path planted = attack.plant();
        EXPECT_THAT([&] { attempt(planted); },
                    ::testing::ThrowsMessage<hostile_path::Refused>(HasSubstr(attack.reason)))
            << attack.name;
    }
    EXPECT_FALSE(fs::exists(places.targets.unitDirectory));
    EXPECT_FALSE(fs::exists(places.targets.libexecDirectory));

    // An administrator's usque, root's and readable by all, is copied like the user's own.
    writeFile(home / "system-usque", "usque");
    EXPECT_NO_THROW(attempt(home / "system-usque"));
    daemon_helper::install(places, attempt(usque));
    EXPECT_EQ(readFile(places.targets.unitFile()),
              systemd::unitFile(places.targets, {DaemonFiles::in(data), places.socket, kNobody}));
    EXPECT_THAT(readFile(places.targets.unitFile()),
                HasSubstr("ExecStart=" + places.targets.packagedExecutable->string() + " "));
    struct stat copy {};
    ASSERT_EQ(::lstat(places.targets.installedUsque().c_str(), &copy), 0);
    EXPECT_EQ(copy.st_uid, 0u);
    EXPECT_EQ(copy.st_mode & 07777, 0755u);
    EXPECT_EQ(readFile(places.targets.installedUsque()), "usque build 1");

    daemon_helper::uninstall(places);
    EXPECT_FALSE(fs::exists(places.targets.unitFile()));
    EXPECT_FALSE(fs::exists(places.targets.installedUsque()));
    EXPECT_TRUE(fs::exists(*places.targets.packagedExecutable));
    EXPECT_TRUE(fs::exists(usque));
}

// The client asks the package's helper only when it is the package's program and both files are
// root's alone; anyone else's file, or one they could write, is never run as root.
TEST(PackagedDaemonTest, IsChosenOnlyWhenThePackagesFilesAreRootsAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "files owned by root and by another user need root";
    struct Case {
        const char* name;
        std::function<void(const fs::path& prefix)> change;
        bool chosen;
        const char* ownDirectory = "bin";
    };
    const Case cases[] = {
        {"as the package lays them out", [](const fs::path&) {}, true},
        {"run from a build tree", [](const fs::path&) {}, false, "build/bin"},
        {"no helper",
         [](const fs::path& p) { fs::remove(p / "libexec/nimbra/nimbra-daemon-helper"); }, false},
        {"nimbrad owned by another user",
         [](const fs::path& p) { giveToNobody(p / "libexec/nimbra/nimbrad"); }, false},
        {"a helper its group may write",
         [](const fs::path& p) {
             fs::permissions(p / "libexec/nimbra/nimbra-daemon-helper", fs::perms(0775));
         },
         false},
        {"nimbrad a link to root's program",
         [](const fs::path& p) {
             fs::remove(p / "libexec/nimbra/nimbrad");
             fs::create_symlink("/bin/true", p / "libexec/nimbra/nimbrad");
         },
         false},
    };
    for (const Case& c : cases) {
        TempDir prefix;
        ScopedEnv override("NIMBRA_PACKAGE_PREFIX", prefix.path().string());
        for (const char* name : {"nimbrad", "nimbra-daemon-helper"}) {
            writeFile(prefix / "libexec/nimbra" / name, "program");
            fs::permissions(prefix / "libexec/nimbra" / name, fs::perms(0755));
        }
        c.change(prefix.path());
        const auto found = PackagedDaemon::find(prefix / c.ownDirectory);
        EXPECT_EQ(found.has_value(), c.chosen) << c.name;
        if (found) {
            EXPECT_EQ(found->helper, prefix / "libexec/nimbra/nimbra-daemon-helper");
        }
    }
}

// pkexec shows the policy's own message only for the program its annotation names: the place
// the client runs the helper from must be that one, or the prompt says "run a program as root".
TEST(PackagedDaemonTest, ThePolicyNamesTheHelperTheClientRuns) {
    const std::string policy =
        readFile(fs::path(NIMBRA_SOURCE_DIR) / "packaging/polkit/io.github.nimbra.Nimbra.policy");
    EXPECT_THAT(policy, HasSubstr("<annotate key=\"org.freedesktop.policykit.exec.path\">" +
                                  (fs::path(kPackagedLibexec) / kDaemonHelperName).string() +
                                  "</annotate>"));
}

}  // namespace
}  // namespace nimbra
