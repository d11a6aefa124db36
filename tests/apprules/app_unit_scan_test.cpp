// The application units of one user in a folder tree laid out like the cgroup2 hierarchy, with
// the things a walk must not take for one; and the reasons per-app routing cannot work.

#include "apprules/app_unit_scan.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

TEST(AppUnitScan, FindsTheUsersApplicationUnitsAndNothingElse) {
    testing::TempDir root;
    const std::string apps = userAppSlicePath(1000);
    const auto folder = [&](const std::string& path) { fs::create_directories(root / path); };
    folder(apps + "/app-gnome-org.gnome.Evince-42.scope/inner");
    folder(apps + "/app-gnome-org.gnome.Evince-42.scope/app-gnome-nested-1.scope");
    folder(apps + R"(/app-flatpak.slice/app-flatpak-org.mozilla.firefox-7.scope)");
    folder(apps + R"(/app-google\x2dchrome@a1b2.service)");
    folder(apps + "/dbus.service");
    folder(apps + "/hand made/app-x-1.scope");        // no name systemd gives
    folder(apps + R"(/hand\q.slice/app-x-1.scope)");  // nor an escape other than \xNN
    std::string longPath = apps;                      // longer than the daemon takes
    for (int i = 0; i < 4; ++i) longPath += "/" + std::string(240, 'a' + i) + ".slice";
    folder(longPath + "/app-long-1.scope");
    folder("elsewhere/app-linked-1.scope");
    fs::create_directory_symlink(root / "elsewhere", root / apps / "app-link.slice");
    testing::writeFile(root / apps / "app-file-1.scope", "");  // a file, not a cgroup
    folder(userSlicePath(1000) + "/session-2.scope");
    folder(userAppSlicePath(1001) + "/app-other-1.scope");  // another user's
    std::string deep = apps;
    for (int i = 0; i < 8; ++i) deep += "/d" + std::to_string(i) + ".slice";
    folder(deep + "/app-deep-1.scope");

    const std::vector<AppUnit> expected = {
        {apps + "/app-flatpak.slice/app-flatpak-org.mozilla.firefox-7.scope",
         "org.mozilla.firefox"},
        {apps + "/app-gnome-org.gnome.Evince-42.scope", "org.gnome.Evince"},
        {apps + R"(/app-google\x2dchrome@a1b2.service)", "google-chrome"},
    };
    EXPECT_EQ(scanAppUnits(root.path(), 1000), expected);
    EXPECT_TRUE(scanAppUnits(root.path(), 1002).empty());
}

TEST(AppUnitScan, SaysWhyPerAppRoutingCannotWork) {
    testing::TempDir root;
    const auto reason = [&] { return appRoutingUnavailableReason(root.path(), 1000); };
    EXPECT_EQ(reason(), "cgroup2 is not mounted at " + root.path().string());
    testing::writeFile(root / "cgroup.controllers", "cpu memory pids\n");
    EXPECT_EQ(reason(),
              "this session's processes are not in a systemd user slice "
              "(user.slice/user-1000.slice)");
    fs::create_directories(root / userSlicePath(1000) / "session-2.scope");
    EXPECT_EQ(reason(), "this desktop does not start applications in units of their own");
    fs::create_directories(root / userAppSlicePath(1000));
    EXPECT_EQ(reason(), std::nullopt);
}

}  // namespace
}  // namespace nimbra::apprules
