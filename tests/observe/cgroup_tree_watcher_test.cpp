// The cgroup-tree watcher on a folder tree laid out like a user's app.slice (inotify reports
// units made and removed there as it does on cgroup2): one callback per burst, slices watched as
// they come, a unit's inside ignored, the slice appearing, going and coming back, nothing after
// stop();
// and removals on a real cgroup2 mount, which inotify reports differently.

#include "observe/cgroup_tree_watcher.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/async/core_runtime.hpp"
#include "support/private_cgroup.hpp"
#include "support/run_until.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nimbra::testing::runFor;
using nimbra::testing::runUntil;

constexpr auto kCoalesce = 20ms;
// How long the loop runs to show that something did NOT call back: several bursts' worth.
constexpr auto kQuiet = 10 * kCoalesce;

TEST(CgroupTreeWatcher, CallsBackOncePerBurstOfUnitsComingAndGoingAndNothingAfterStop) {
    const testing::TempDir root;
    const fs::path apps = root / "app.slice";
    CoreRuntime runtime;
    int calls = 0;
    CgroupTreeWatcher watcher(runtime.executor(), apps, kCoalesce, [&] { ++calls; });
    CgroupTreeWatcher orphan(runtime.executor(), root / "no-manager/app.slice", kCoalesce, [] {});
    EXPECT_FALSE(orphan.start()) << "no folder for the slice to appear in";
    EXPECT_FALSE(orphan.watching());

    const auto expectCalls = [&](int expected, const char* step) {
        EXPECT_TRUE(runUntil(runtime, [&] { return calls >= expected; })) << step;
        runFor(runtime, kQuiet);
        EXPECT_EQ(calls, expected) << step;
    };
    ASSERT_TRUE(watcher.start()) << "the slice's folder is there, waiting for the slice";
    fs::create_directory(apps);
    fs::create_directories(apps / "app-gnome-org.gnome.Evince-42.scope");
    fs::create_directories(apps / "app-flatpak.slice");
    expectCalls(1, "the slice appearing with its first units");
    fs::create_directory(apps / "app-org.kde.konsole-9f.scope");
    fs::create_directory(apps / "app-firefox@a1.service");
    fs::remove(apps / "app-gnome-org.gnome.Evince-42.scope");
    expectCalls(2, "a burst in the slice");
    fs::create_directory(apps / "app-flatpak.slice/app-flatpak-org.mozilla.firefox-7.scope");
    expectCalls(3, "a unit in a slice that was there");
    fs::create_directory(apps / "app-org.kde.konsole-9f.scope/tab");
    fs::create_directory(apps / "app-flatpak.slice/app-flatpak-org.mozilla.firefox-7.scope/x");
    expectCalls(3, "inside units");
    fs::create_directory(apps / "app-new.slice");
    expectCalls(4, "a new slice");
    fs::create_directory(apps / "app-new.slice/app-new-1.scope");
    expectCalls(5, "a unit in the new slice");
    fs::remove_all(apps / "app-new.slice");
    expectCalls(6, "the new slice removed");

    fs::remove_all(apps);
    expectCalls(7, "the app slice removed");
    EXPECT_TRUE(watcher.watching());

    // The slice back (the user's manager restarted), then stopped with a burst pending: that
    // burst never calls back.
    fs::create_directory(apps);
    expectCalls(8, "the slice back");
    fs::create_directory(apps / "app-a-1.scope");
    expectCalls(9, "a unit in the slice come back");
    fs::create_directory(apps / "app-b-2.scope");
    watcher.stop();
    expectCalls(9, "a unit just before stop()");
    EXPECT_FALSE(watcher.watching());
}

// The watches every inotify descriptor of this program holds, as the kernel lists them.
int inotifyWatchesOfThisProgram() {
    int watches = 0;
    for (const auto& fd : fs::directory_iterator("/proc/self/fdinfo")) {
        std::ifstream info(fd.path());
        for (std::string line; std::getline(info, line);)
            watches += line.starts_with("inotify wd:");
    }
    return watches;
}

// cgroup2 reports a removed cgroup only to its parent's watch: the cgroup's own watch gets no
// IN_DELETE_SELF or IN_IGNORED while it is held. The slice going must still be heard and
// give its watches back, as must a removed slice below it; the slice coming back is heard.
TEST(CgroupTreeWatcher, HearsCgroupsRemovedOnCgroup2) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount cgroup2";
    const std::string failure = testing::inPrivateCgroup([](testing::PrivateCgroups& cgroups) {
        const std::string apps = cgroups.scratch() + "/app.slice";
        const fs::path slice = cgroups.create(apps + "/app-flatpak.slice");
        CoreRuntime runtime;
        int calls = 0;
        CgroupTreeWatcher watcher(runtime.executor(), cgroups.absolute(apps), kCoalesce,
                                  [&] { ++calls; });
        ASSERT_TRUE(watcher.start());
        EXPECT_EQ(inotifyWatchesOfThisProgram(), 3);  // the slice, the one below, its parent
        ASSERT_EQ(::rmdir(slice.c_str()), 0);
        EXPECT_TRUE(runUntil(runtime, [&] { return calls == 1; }));
        EXPECT_EQ(inotifyWatchesOfThisProgram(), 2);
        ASSERT_EQ(::rmdir(cgroups.absolute(apps).c_str()), 0);
        EXPECT_TRUE(runUntil(runtime, [&] { return calls == 2; }));
        EXPECT_EQ(inotifyWatchesOfThisProgram(), 1);  // the parent, waiting for the slice
        cgroups.create(apps + "/app-x-1.scope");
        EXPECT_TRUE(runUntil(runtime, [&] { return calls == 3; }));
    });
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace nimbra
