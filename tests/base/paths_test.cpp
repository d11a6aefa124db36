#include "base/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::paths {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;

TEST(Paths, HomeComesFromTheEnvironmentElseThePasswordDatabase) {
    {
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(homeDirectory(), fs::path("/home/someone"));
    }
    const passwd* entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    const std::optional<std::string> unusable[] = {std::nullopt, ""};
    for (const auto& value : unusable) {
        ScopedEnv home("HOME", value);
        EXPECT_EQ(homeDirectory(), fs::path(entry->pw_dir));
    }
}

TEST(Paths, ConfigHomeHonoursOnlyAnAbsoluteXdgConfigHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/elsewhere/config");
        EXPECT_EQ(configHome(), fs::path("/elsewhere/config"));
    }
    for (const char* ignored : {"relative/config", ""}) {
        ScopedEnv xdg("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(configHome(), fs::path("/home/someone/.config")) << "for '" << ignored << "'";
    }
    ScopedEnv unset("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(configHome(), fs::path("/home/someone/.config"));
}

TEST(Paths, DataHomeAndWorkDirectoryFollowXdgDataHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/elsewhere/data");
        EXPECT_EQ(dataHome(), fs::path("/elsewhere/data"));
        EXPECT_EQ(workDirectory(), fs::path("/elsewhere/data/Nimbra"));
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(dataHome(), fs::path("/home/someone/.local/share"));
    }
    ScopedEnv unset("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(dataHome(), fs::path("/home/someone/.local/share"));
    EXPECT_EQ(workDirectory(), fs::path("/home/someone/.local/share/Nimbra"));
}

TEST(Paths, RuntimeDirectoryFallsBackToTheTempDirectory) {
    {
        ScopedEnv xdg("XDG_RUNTIME_DIR", "/run/user/4242");
        EXPECT_EQ(runtimeDirectory(), fs::path("/run/user/4242"));
    }
    TempDir temp;
    ScopedEnv tmpdir("TMPDIR", temp.path().string());
    const std::optional<std::string> unusable[] = {std::nullopt, "relative/run"};
    for (const auto& value : unusable) {
        ScopedEnv xdg("XDG_RUNTIME_DIR", value);
        EXPECT_EQ(runtimeDirectory(), temp.path());
    }
}

TEST(Paths, RuntimeDirectorySurvivesABrokenTmpdir) {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv tmpdir("TMPDIR", "/no/such/directory");
    EXPECT_EQ(runtimeDirectory(), fs::path("/tmp"));
}

TEST(Paths, ExecutableDirectoryHoldsTheRunningProgram) {
    const fs::path directory = executableDirectory();
    EXPECT_TRUE(directory.is_absolute());
    const fs::path program = fs::path(program_invocation_name).filename();
    EXPECT_TRUE(fs::is_regular_file(directory / program)) << directory / program;
}

}  // namespace
}  // namespace nimbra::paths
