// Where things live: the XDG variables count only when they hold absolute paths.

#include "base/paths.hpp"

#include <gtest/gtest.h>

#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::paths {
namespace {

using nimbra::testing::ScopedEnv;
using Path = std::filesystem::path;

TEST(Paths, XdgDirectoriesCountOnlyWhenAbsoluteElseTheHomeOrTempFallback) {
    nimbra::testing::TempDir temp;
    ScopedEnv home("HOME", "/home/someone");
    ScopedEnv tmpdir("TMPDIR", temp.path().string());
    const struct {
        std::optional<std::string> value;  // the same for all three variables
        Path config, data, runtime;
    } cases[] = {
        {"/elsewhere", "/elsewhere", "/elsewhere", "/elsewhere"},
        {"relative/dir", "/home/someone/.config", "/home/someone/.local/share", temp.path()},
        {"", "/home/someone/.config", "/home/someone/.local/share", temp.path()},
        {std::nullopt, "/home/someone/.config", "/home/someone/.local/share", temp.path()},
    };
    for (const auto& c : cases) {
        ScopedEnv config("XDG_CONFIG_HOME", c.value);
        ScopedEnv data("XDG_DATA_HOME", c.value);
        ScopedEnv runtime("XDG_RUNTIME_DIR", c.value);
        EXPECT_EQ(configHome(), c.config) << c.value.value_or("(unset)");
        EXPECT_EQ(dataHome(), c.data) << c.value.value_or("(unset)");
        EXPECT_EQ(workDirectory(), c.data / "Nimbra");
        EXPECT_EQ(runtimeDirectory(), c.runtime) << c.value.value_or("(unset)");
    }
    ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv brokenTmpdir("TMPDIR", "/no/such/directory");
    EXPECT_EQ(runtimeDirectory(), Path("/tmp"));
}

}  // namespace
}  // namespace nimbra::paths
