// The usque stand-in where its faithfulness keeps the engine tests honest: without a registration,
// register and socks fail as usque does, so an engine that forgot `-a` or the registration cannot
// pass against it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/subprocess.hpp"
#include "support/line_reader.hpp"
#include "support/usque_test_home.hpp"

namespace nimbra {
namespace {

using ::testing::HasSubstr;

// Longer than CTest lets a test run: a stuck stand-in fails the test by time-out.
constexpr std::chrono::milliseconds kBeyondCtest = std::chrono::minutes(30);

// The stand-in run with stdin at EOF, as the engine leaves it.
Subprocess start(std::vector<std::string> arguments) {
    Subprocess::Options options;
    options.argv = {NIMBRA_STANDIN_DIR "/usque"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    return Subprocess::start(std::move(options));
}

TEST(UsqueStandin, WithoutARegistrationRegisterTakesEofAsNoAndSocksExitsZero) {
    testing::UsqueTestHome home;
    const std::string config = (home.home() / "config.json").string();

    auto registering = start({"register", "-c", config, "-n", "test"});  // no -a: asks first
    const auto registered = registering.wait(kBeyondCtest);
    EXPECT_TRUE(registered && registered->code == 1);
    EXPECT_THAT(registering.takeStdout(), HasSubstr("terms of service"));
    EXPECT_FALSE(std::filesystem::exists(config));

    auto socks =
        start({"socks", "-c", config, "-b", "127.0.0.1", "-p", std::to_string(home.port())});
    testing::LineReader err(socks.releaseStderr());
    EXPECT_TRUE(err.waitFor("Config not loaded. Please register first.", kBeyondCtest));
    const auto status = socks.wait(kBeyondCtest);
    EXPECT_TRUE(status && status->succeeded()) << err.transcript();
}

}  // namespace
}  // namespace nimbra
