// Running applications: real processes this test starts, matched to fixture entries by each
// kind of evidence, and the evidence that must not count.

#include "apprules/running_app_scan.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "support/file_text.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

TEST(RunningAppScan, MatchesProcessesByLauncherHintsFlatpakIdAndUnambiguousExecutable) {
    testing::TempDir dir;
    const fs::path apps = dir / "data/applications", bin = dir / "bin";
    const auto entry = [&](const std::string& file, const std::string& name,
                           const std::string& more) {
        testing::writeFile(apps / file,
                           "[Desktop Entry]\nType=Application\nName=" + name + "\n" + more + "\n");
        return (apps / file).string();
    };
    const std::string hinted = entry("hinted.desktop", "Hinted", "Exec=/nonexistent/a");
    const std::string snap = entry("snap.desktop", "Snap", "Exec=env X=1 /nonexistent/b %u");
    const std::string terminal = entry("terminal.desktop", "Terminal", "Exec=/nonexistent/c");
    entry("exe.desktop", "By Exe", "Exec=exe-app %U");
    entry("org.example.Flat.desktop", "Flat", "Exec=flatpak run org.example.Flat");
    entry("one.desktop", "One", "Exec=shared");
    entry("two.desktop", "Two", "Exec=shared --new-window");
    entry("self.desktop", "Self", "Exec=" + fs::canonical("/proc/self/exe").string());

    std::vector<Subprocess> processes;
    const auto start = [&](const std::string& program, std::vector<std::string> hints) {
        fs::create_directories(bin);
        if (!fs::exists(bin / program)) fs::copy_file("/bin/sleep", bin / program);
        Subprocess::Options options;
        options.argv = {(bin / program).string(), "600"};
        options.environment = std::move(hints);
        processes.push_back(Subprocess::start(std::move(options)));
    };
    start("hinted-app", {"GIO_LAUNCHED_DESKTOP_FILE=" + hinted});
    start("snap-app", {"BAMF_DESKTOP_FILE_HINT=" + snap});
    start("flat-app", {"FLATPAK_ID=org.example.Flat"});
    start("exe-app", {});
    start("exe-app", {});
    start("shared", {});
    // A shell in a terminal inherits the variable the launcher gave the terminal.
    start("shell", {"GIO_LAUNCHED_DESKTOP_FILE=" + terminal, "GIO_LAUNCHED_DESKTOP_FILE_PID=1"});

    AppScanEnvironment environment;
    environment.dataHome = dir / "home";
    environment.dataDirs = {dir / "data"};
    environment.searchPath = bin.string();
    std::vector<std::string> names;
    for (const AppRuleItem& app : scanRunningApplications(environment, "")) {
        names.push_back(app.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"By Exe", "Flat", "Hinted", "Snap"}));
}

}  // namespace
}  // namespace nimbra::apprules
