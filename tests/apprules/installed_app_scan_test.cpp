// Installed applications: which entries of which folders a list shows, under which ids and names.

#include "apprules/installed_app_scan.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

std::string entry(const std::string& name, const std::string& more = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=prog\n" + more;
}

class InstalledAppScan : public ::testing::Test {
protected:
    InstalledAppScan() {
        const fs::path home = dir / "home/applications", a = dir / "a/applications",
                       b = dir / "b/applications";
        // The user's copies: one deletes a system entry by id, one replaces another.
        testing::writeFile(home / "deleted.desktop", "[Desktop Entry]\nHidden=true\n");
        testing::writeFile(home / "top.desktop", entry("Top Home"));
        testing::writeFile(a / "deleted.desktop", entry("Deleted"));
        testing::writeFile(a / "top.desktop", entry("Top System"));
        testing::writeFile(a / "kde/sub.desktop",
                           "[Desktop Entry]\nType=Application\n"
                           "Name=app 10\nExec=\"/opt/my app/run\" %U\n");
        testing::writeFile(a / "files.desktop", entry("files", "Name[zh_CN]=文件\n"));
        testing::writeFile(a / "present.desktop", entry("App 2", "TryExec=tool-on-path\n"));
        testing::writeFile(a / "gone.desktop", entry("Gone", "TryExec=/nonexistent/tool\n"));
        testing::writeFile(a / "nodisplay.desktop", entry("NoDisplay", "NoDisplay=true\n"));
        testing::writeFile(a / "hidden.desktop", entry("Hidden", "Hidden=true\n"));
        testing::writeFile(a / "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=x\n");
        // Running on KDE: an entry for GNOME alone and one kept out of KDE are not listed.
        testing::writeFile(a / "only-kde.desktop",
                           entry("Only KDE", "OnlyShowIn=X-Cinnamon;KDE;\n"));
        testing::writeFile(a / "only-gnome.desktop", entry("Only GNOME", "OnlyShowIn=GNOME;\n"));
        testing::writeFile(a / "not-kde.desktop", entry("Not KDE", "NotShowIn=KDE;\n"));
        testing::writeFile(a / "one/two/three/deep.desktop", entry("Too Deep"));
        fs::create_directory_symlink("..", a / "kde/loop");
        testing::writeFile(b / "top.desktop", entry("Top Other"));
        testing::writeFile(b / "snap.desktop",
                           "[Desktop Entry]\nType=Application\nName=Zeta\n"
                           "Exec=env BAMF_DESKTOP_FILE_HINT=/x /snap/bin/zeta %u\n");
        testing::writeFile(dir / "bin/tool-on-path", "#!/bin/sh\n");
        fs::permissions(dir / "bin/tool-on-path", fs::perms::owner_all);
        environment.dataHome = dir / "home";
        environment.dataDirs = {dir / "a", dir / "missing", dir / "b"};
        environment.searchPath = "relative:" + (dir / "bin").string();
        environment.currentDesktops = {"KDE"};
        environment.maxDepth = 2;
    }

    testing::TempDir dir;
    AppScanEnvironment environment;
};

TEST_F(InstalledAppScan, ShowsTheFirstEntryOfEachIdThatIsAShownInstalledApplication) {
    using Row = std::tuple<std::string, std::string, std::string, std::string>;
    std::vector<Row> rows;
    for (const AppRuleItem& app : scanInstalledApplications(environment, "")) {
        rows.emplace_back(app.name, app.bundleId, app.executableName,
                          fs::path(app.appPath).lexically_relative(dir.path()).string());
        EXPECT_TRUE(app.isEnabled && app.target == AppRuleTarget::proxy && !app.id.empty());
    }
    EXPECT_EQ(rows, (std::vector<Row>{
                        {"App 2", "present", "tool-on-path", "a/applications/present.desktop"},
                        {"app 10", "kde-sub", "run", "a/applications/kde/sub.desktop"},
                        {"files", "files", "prog", "a/applications/files.desktop"},
                        {"Only KDE", "only-kde", "prog", "a/applications/only-kde.desktop"},
                        {"Top Home", "top", "prog", "home/applications/top.desktop"},
                        {"Zeta", "snap", "zeta", "b/applications/snap.desktop"},
                    }));
    std::vector<std::string> localized;
    for (const auto& app : scanInstalledApplications(environment, "zh_CN")) {
        localized.push_back(app.name);
    }
    EXPECT_EQ(localized, (std::vector<std::string>{"App 2", "app 10", "Only KDE", "Top Home",
                                                   "Zeta", "文件"}));
}

TEST_F(InstalledAppScan, AFileChosenFromDiskNeedsOnlyToBeAnApplication) {
    const auto chosen = parseAppEntry((dir / "a/applications/nodisplay.desktop").string(), "");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(std::tie(chosen->name, chosen->bundleId), std::tie("NoDisplay", "nodisplay"));
    EXPECT_FALSE(parseAppEntry((dir / "a/applications/link.desktop").string(), ""));
}

}  // namespace
}  // namespace nimbra::apprules
