// What nimbrad takes from a client as per-app routes, and the cgroups it looks them up in.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nimbrad/app_route_arguments.hpp"
#include "nimbrad/cgroup_root.hpp"
#include "nimbrad/control_server.hpp"
#include "support/private_cgroup.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::nimbrad {
namespace {

constexpr uid_t kUser = 1000;
const std::string kApps = "user.slice/user-1000.slice/user@1000.service/app.slice/";

// `count` distinct entries of the shape a desktop session has.
std::string entries(std::size_t count, std::string_view target = "direct") {
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += ' ';
        list += std::string(target) + ":" + kApps + "app-gnome-org.gnome.Nautilus-" +
                std::to_string(i) + ".scope";
    }
    return list;
}

std::optional<std::string> refused(uid_t uid, const std::vector<std::string>& args) {
    return refuseRequest(Request{"app_routes", args}, uid, {kUser});
}

TEST(AppRouteArguments, OnlyTheAskersOwnCgroupsInSystemdsSpellingPass) {
    const std::string nautilus = kApps + "app-gnome-org.gnome.Nautilus-4242.scope";
    const std::string konsole = kApps + "app-org.kde.konsole@0a1b2c3d4e5f.service";
    const std::string terminal = kApps + R"(app-gnome-org.gnome.Terminal\x2dPreferences-77.scope)";
    const std::string firefox = kApps + R"(app-flatpak-org.mozilla.firefox-31.scope/tab\x2d1)";
    const std::vector<std::string> mixed{"direct", "proxy:" + nautilus + " direct:" + konsole +
                                                       " proxy:" + terminal + " direct:" + firefox};
    const std::vector<std::pair<uid_t, std::vector<std::string>>> accepted{
        {kUser, {"off"}},
        {kUser, {"proxy", ""}},
        {kUser, mixed},
        {kUser, {"proxy", entries(kMaxAppRoutes)}},
        // root may speak for any user
        {0, {"proxy", "direct:user.slice/user-1001.slice/session-3.scope"}},
        {0, {"direct", "proxy:user.slice/user-0.slice/user@0.service/app.slice/a.scope"}},
    };
    for (const auto& [uid, args] : accepted) {
        EXPECT_EQ(refused(uid, args), std::nullopt) << args[0] << " " << args.back().substr(0, 99);
    }
    EXPECT_TRUE(isAppRoutesOff({"off"}));
    EXPECT_FALSE(isAppRoutesOff({"proxy", ""}));
    EXPECT_EQ(readAppRoutes(mixed), (AppRouteSet{AppRouteTarget::direct,
                                                 {{nautilus, AppRouteTarget::proxy},
                                                  {konsole, AppRouteTarget::direct},
                                                  {terminal, AppRouteTarget::proxy},
                                                  {firefox, AppRouteTarget::direct}}}));

    // Requests of the wrong shape, and one from a user who is not allowed at all.
    std::vector<std::pair<uid_t, std::vector<std::string>>> refusedCases{
        {kUser, {}},
        {kUser, {"proxy"}},
        {kUser, {"off", ""}},
        {kUser, {"tunnel", ""}},
        {kUser, {"Proxy", ""}},
        {kUser, {"proxy", "", "x"}},
        {2000, {"proxy", ""}}};
    const auto add = [&](uid_t uid, const std::string& head,
                         const std::vector<std::string>& tails) {
        for (const auto& tail : tails) refusedCases.push_back({uid, {"proxy", head + tail}});
    };
    // Entries of the wrong shape, too many, or one cgroup twice (with the same target or not).
    add(kUser, "",
        {"tunnel:" + nautilus, nautilus, "direct:", "direct:" + nautilus + "  proxy:" + konsole,
         " direct:" + nautilus, "direct:" + nautilus + " ",
         "direct:" + nautilus + "\tproxy:" + konsole, entries(kMaxAppRoutes + 1),
         "direct:" + nautilus + " direct:" + nautilus,
         "direct:" + nautilus + " proxy:" + konsole + " proxy:" + nautilus});
    // Someone else's applications, or no application at all.
    add(kUser, "direct:",
        {"user.slice/user-1001.slice/user@1001.service/app.slice/a.scope",
         "user.slice/user-10000.slice/a.scope", "user.slice/user-100.slice/a.scope",
         "user.slice/user-01000.slice/a.scope", "user.slice/user-1000.slice.evil/a.scope",
         "user.slice/user-1000.sliceevil/a.scope", "user.slice/user-1000.slice",
         "user.slice/user-1000.slice/", "user.slice/user-1000.slice/../user-1001.slice/a.scope",
         "user.slice/user-1000.slice/app.slice/../../user-1001.slice/a.scope",
         "user.slice/user-1000.slice/./a.scope", "user.slice/user-1000.slice//a.scope",
         "/user.slice/user-1000.slice/a.scope", "system.slice/sshd.service", "init.scope",
         "x/user.slice/user-1000.slice/a.scope"});
    // What could end nft's quoted string or start a new line or word, and sizes past the bounds.
    const std::string component(kMaxAppRouteComponentBytes, 'a');
    add(kUser, "direct:" + kApps,
        {"a\"; flush ruleset; \"b", "a\nb", "a b", "a\tb", "a'b", "a*", "a/*",
         std::string("a\0b", 3), "caf\xc3\xa9", R"(a\b)", R"(a\x2)", R"(a\x2g)", R"(a\)",
         component + "a", component + "/" + component + "/" + component + "/" + component,
         "a/b/c/d/e/f/g/h/i/j/k/l/m"});
    // Root may name any user's slice, but only by a uid as systemd writes one.
    add(0, "direct:user.slice/user-",
        {"+1.slice/a", "4294967295.slice/a", "4294967296.slice/a", ".slice/a", "0x1.slice/a",
         "01.slice/a"});
    for (const auto& [uid, args] : refusedCases) {
        const auto reason = refused(uid, args);
        const std::string shown = args.empty() ? "" : args.back().substr(0, 200);
        // One short line that says something, whatever was sent.
        EXPECT_TRUE(reason && !reason->empty() && reason->size() < 160 &&
                    reason->find_first_of(std::string("\n\r\0", 3)) == std::string::npos)
            << uid << " " << shown << " -> " << reason.value_or("(accepted)");
    }
}

TEST(CgroupRoot, LooksUpOnlyCgroupsOfTheCheckedHierarchy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount cgroup2";
    const testing::TempDir dir;
    std::filesystem::create_directory(dir / "user.slice");
    std::filesystem::create_directory_symlink(CgroupRoot::kDefaultMountPoint, dir / "link");
    const std::string failure = testing::inPrivateCgroup([&](testing::PrivateCgroups& cgroups) {
        // A plain folder, one that is not there, and a link to the real mount.
        for (const auto& notCgroup2 : {dir.path(), dir / "missing", dir / "link"}) {
            const CgroupRoot root(notCgroup2.string());
            EXPECT_EQ(root.unusable(), "cgroup2 is not mounted at " + notCgroup2.string());
            EXPECT_FALSE(root.contains("user.slice"));
        }
        const std::string& scratch = cgroups.scratch();
        const std::string app = scratch + "/" + kApps + "app-gnome-org.gnome.Nautilus-1.scope";
        cgroups.create(app);
        cgroups.create(scratch + "/mounted");
        const std::string mounted = cgroups.absolute(scratch + "/mounted");
        ASSERT_EQ(::mount("tmpfs", mounted.c_str(), "tmpfs", 0, nullptr), 0);
        std::filesystem::create_directory(mounted + "/inside");

        const CgroupRoot root;
        EXPECT_EQ(root.unusable(), std::nullopt);
        // Levels as nftables counts them: "user.slice/user-1000.slice" is 2 below the root.
        EXPECT_EQ(cgroupLevel(app), 6);
        EXPECT_EQ(cgroupLevel(""), 0);
        for (const std::string& present : {app, scratch + "/user.slice", scratch}) {
            EXPECT_TRUE(root.contains(present)) << present;
        }
        for (const std::string& absent :
             {scratch + "/user.slice/missing", scratch + "/user.slice/../" + scratch,
              scratch + "/./user.slice", scratch + "//user.slice", scratch + "/user.slice/",
              "/" + scratch, scratch + "/cgroup.procs", scratch + "/mounted",
              scratch + "/mounted/inside", std::string(),
              scratch + std::string("\0/user.slice", 12)}) {
            EXPECT_FALSE(root.contains(absent)) << absent;
        }
        EXPECT_EQ(::umount(mounted.c_str()), 0);
    });
    EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace nimbra::nimbrad
