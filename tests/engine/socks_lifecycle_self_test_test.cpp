// The lifecycle self-test as users run it: nimbra-cli --verify-socks-lifecycle against the usque
// stand-in, with its report lines and exit codes.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "base/subprocess.hpp"
#include "support/usque_test_home.hpp"
#include "system/process_table.hpp"

namespace nimbra {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;

class SelfTest : public ::testing::Test {
protected:
    void SetUp() override { home_.writeRegistration(); }
    std::string port() const { return std::to_string(home_.port()); }

    // The exit code, and the report (stderr) as the failure message for every check.
    int run() {
        auto result = Subprocess::run({.argv = {NIMBRA_CLI, "--verify-socks-lifecycle"},
                                       .environment = std::nullopt,
                                       .workingDirectory = std::nullopt,
                                       .output = Subprocess::Output::separate},
                                      std::chrono::minutes(30));  // beyond CTest's limit
        report_ = result.err;
        return result.status.code;
    }

    testing::UsqueTestHome home_;
    std::string report_;
};

// A clean run ends OK with exit 0; a listener the stop leaves behind fails it with code 3.
TEST_F(SelfTest, StartsAManagedUsqueAndFailsWhenThePortIsStillHeldAfterStop) {
    EXPECT_EQ(run(), 0) << report_;
    EXPECT_THAT(report_, HasSubstr("[self-test] listeners before: (none)\n"));
    EXPECT_THAT(report_, HasSubstr("[self-test] started managed usque (no prior listener)\n"));
    EXPECT_THAT(report_, HasSubstr(":" + port() + " isRunning=true\n"));
    EXPECT_THAT(report_, EndsWith("[self-test] after stop: (none)\n[self-test] OK\n"));

    home_.knob("USQUE_STANDIN_LEAK_LISTENER", "1");
    EXPECT_EQ(run(), 3) << report_;
    EXPECT_THAT(report_, HasSubstr("[self-test] after stop: sleep "));
    EXPECT_THAT(report_, EndsWith("[self-test] FAIL: port still held after Disconnect policy\n"));
    for (pid_t leftover : ProcessTable::system().listenerPids(home_.port())) {
        ::kill(leftover, SIGKILL);  // the stand-in's leaked `sleep`, started by this test
    }
}

}  // namespace
}  // namespace nimbra
