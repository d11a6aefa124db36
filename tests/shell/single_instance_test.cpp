#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <filesystem>
#include <utility>

#include "nimbra_process.hpp"
#include "support/private_dbus_session.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::NimbraProcess;
using nimbra::testing::PrivateDbusSession;
using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

NimbraProcess::Setup onBus(const std::string& bus) {
    return {.platform = QStringLiteral("offscreen"), .bus = bus};
}

// Runs a later launch to its end; false when it did not exit 0 or started a controller.
::testing::AssertionResult laterLaunch(const TempDir& dir, const QStringList& arguments,
                                       const std::string& bus) {
    NimbraProcess later(dir, "later", arguments, onBus(bus));
    if (!later.process.waitForFinished(60'000))
        return ::testing::AssertionFailure() << "still runs";
    if (later.process.exitCode() != 0 || later.controllerStarted()) {
        return ::testing::AssertionFailure()
               << arguments.join(' ').toStdString() << ": exit " << later.process.exitCode()
               << ", controller " << later.controllerStarted() << "; "
               << later.process.readAllStandardError().toStdString();
    }
    std::filesystem::remove_all(dir / "later");
    return ::testing::AssertionSuccess();
}

TEST(ShellSingleInstance, LaterLaunchesHandTheirRequestToTheFirstOverTheSessionBus) {
    TempDir dir;
    PrivateDbusSession bus(dir / "dbus");
    NimbraProcess first(dir, "first", {"--hidden"}, onBus(bus.address()));
    ASSERT_TRUE(waitUntil([&] { return first.controllerStarted(); }));

    // Each later launch returns only once the first carried its request out, so every step's
    // log line is there when it exits. The first started hidden and built no window (a Qt Quick
    // window maps the GL driver): the first toggle builds and shows it.
    EXPECT_EQ(first.windowLog(), QStringList{});
    const std::pair<QStringList, QString> steps[] = {
        {{"--toggle"}, "shown"},
        {{"--toggle"}, "hidden"},
        {{}, "shown"},
        {{"--show-app-rules"}, "requested tab appRules"}};
    QStringList expected{"built"};
    for (const auto& [arguments, line] : steps) {
        ASSERT_TRUE(laterLaunch(dir, arguments, bus.address()));
        expected << line;
        ASSERT_TRUE(waitUntil([&] { return first.windowLog() == expected; }))
            << first.log.toStdString();
    }
}

TEST(ShellSingleInstance, WithoutASessionBusALockAndAnOwnerOnlySocketDoTheSame) {
    TempDir dir;
    NimbraProcess first(dir, "first", {}, onBus(""));
    ASSERT_TRUE(waitUntil([&] {
        return first.windowLog() == QStringList{"built", "shown"};
    })) << first.log.toStdString();

    ASSERT_TRUE(laterLaunch(dir, {"--toggle"}, ""));
    EXPECT_TRUE(waitUntil([&] {
        return first.windowLog() == QStringList{"built", "shown", "hidden"};
    })) << first.log.toStdString();
    struct stat socket {};
    ASSERT_EQ(::stat((dir / "runtime" / "io.github.nimbra.Nimbra.socket").c_str(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 077, 0u);
}

}  // namespace
}  // namespace nimbra::shell
