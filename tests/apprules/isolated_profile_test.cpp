#include "apprules/isolated_profile.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "apprules/app_launch_error.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::apprules {
namespace {

namespace fs = std::filesystem;

// The folders on the way are made ours and private, so only the last one is on trial.
void makeFolder(const fs::path& path, mode_t mode) {
    fs::create_directories(path);
    for (auto level = path.parent_path(); level.filename() == "nimbra";
         level = level.parent_path()) {
        ::chmod(level.c_str(), 0700);
    }
    ::chmod(path.c_str(), mode);
}

TEST(IsolatedProfile, IsAFolderOnlyWeCanEnterAndRefusesOneSomeoneElsePrepared) {
    struct Case {
        std::string name;
        bool runtimeFolder;  // else only the cache folder is known
        std::function<void(const fs::path& base)> prepare;
        bool refused;
    };
    const std::vector<Case> cases = {
        {"fresh", true, [](const fs::path&) {}, false},
        {"fresh without a runtime folder", false, [](const fs::path&) {}, false},
        {"ours already", true,
         [](const fs::path& base) { makeFolder(base / "nimbra/isolated-profile", 0700); }, false},
        {"readable by others", true,
         [](const fs::path& base) { makeFolder(base / "nimbra/isolated-profile", 0755); }, true},
        {"a link to another folder", true,
         [](const fs::path& base) {
             makeFolder(base / "elsewhere", 0700);
             fs::create_directory_symlink(base / "elsewhere", base / "nimbra");
         },
         true},
        {"someone else's", true,
         [](const fs::path& base) {
             makeFolder(base / "nimbra", 0700);
             ASSERT_EQ(::chown((base / "nimbra").c_str(), 65534, 65534), 0);
         },
         true},
        {"a file", true,
         [](const fs::path& base) {
             makeFolder(base / "nimbra", 0700);
             fs::create_symlink("/etc/passwd", base / "nimbra/isolated-profile");
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const fs::path base = dir / (c.runtimeFolder ? "run" : "cache");
        makeFolder(base, 0700);
        testing::ScopedEnv runtime("XDG_RUNTIME_DIR",
                                   c.runtimeFolder ? std::optional(base.string()) : std::nullopt);
        testing::ScopedEnv cache("XDG_CACHE_HOME", (dir / "cache").string());
        c.prepare(base);
        if (c.refused) {
            EXPECT_THROW(ensureIsolatedProfile(), AppLaunchError);
            continue;
        }
        const auto profile = ensureIsolatedProfile();
        EXPECT_EQ(profile, base / "nimbra/isolated-profile");
        for (const auto& level : {profile.parent_path(), profile}) {
            struct stat info {};
            ASSERT_EQ(::lstat(level.c_str(), &info), 0);
            EXPECT_TRUE(S_ISDIR(info.st_mode));
            EXPECT_EQ(info.st_mode & 07777, 0700u);
            EXPECT_EQ(info.st_uid, ::geteuid());
        }
    }
}

}  // namespace
}  // namespace nimbra::apprules
