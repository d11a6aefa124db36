#include "apprules/exec_command_line.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "apprules/app_launch_error.hpp"

namespace nimbra::apprules {
namespace {

TEST(ExecCommandLine, SplitsWithTheFormatsQuotingAndExpandsFieldCodesForAStartWithoutFiles) {
    struct Case {
        std::string exec;
        std::string icon;
        std::optional<std::vector<std::string>> argv;  // none: the entry is refused
    };
    const std::vector<Case> cases = {
        {"app %U --flag %f", "", {{"app", "--flag"}}},
        {"app %F %u %d %D %n %N %v %m", "", {{"app"}}},
        {"\"/opt/My App/run\" \"a \\\"b\\\" \\$c \\\\ \\`d\\`\"",
         "",
         {{"/opt/My App/run", "a \"b\" $c \\ `d`"}}},
        {"app %i %c %k 100%% --name=%c",
         "app-icon",
         {{"app", "--icon", "app-icon", "My App", "/apps/my.desktop", "100%", "--name=My App"}}},
        {"app %i", "", {{"app"}}},
        {"app --icon=%i", "app-icon", std::nullopt},
        {"app %z", "", std::nullopt},
        {"app 50%", "", std::nullopt},
        {"app \"unbalanced", "", std::nullopt},
        {"%U", "", std::nullopt},
        {"", "", std::nullopt},
    };
    for (const auto& c : cases) {
        DesktopEntry entry;
        entry.path = "/apps/my.desktop";
        entry.name = "My App";
        entry.exec = c.exec;
        entry.icon = c.icon;
        if (c.argv) {
            EXPECT_EQ(execArguments(entry), *c.argv) << c.exec;
        } else {
            EXPECT_THROW(execArguments(entry), AppLaunchError) << c.exec;
        }
    }
}

}  // namespace
}  // namespace nimbra::apprules
