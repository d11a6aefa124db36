#include "shell/launch.hpp"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

#include "base/version.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::TempDir;

// Runs `nimbra` with `arguments` and no display in a private HOME; returns it once it exited.
struct Launch {
    Launch(const QStringList& arguments, const QString& path = "") {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
        env.insert("HOME", QString::fromStdString(dir.path().string()));
        env.insert("XDG_DATA_HOME", QString::fromStdString((dir / "data").string()));
        env.insert("NIMBRA_PREFERENCES_FILE", prefs);
        if (!path.isEmpty()) env.insert("PATH", path);
        process.setProcessEnvironment(env);
        process.start(NIMBRA_EXECUTABLE, arguments);
        finished = process.waitForFinished(60'000);
    }
    TempDir dir;
    QString prefs = QString::fromStdString((dir / "prefs.json").string());
    QProcess process;
    bool finished;
};

TEST(ShellLaunch, WithoutADisplayOnlyTheVersionAndTheSelfTestRun) {
    Launch version({"--version"});
    ASSERT_TRUE(version.finished);
    EXPECT_EQ(version.process.exitCode(), 0);
    EXPECT_EQ(version.process.readAllStandardOutput().toStdString(),
              std::string("nimbra ") + kVersion + "\n");

    Launch window({});
    ASSERT_TRUE(window.finished);
    EXPECT_EQ(window.process.exitCode(), 2);
    EXPECT_TRUE(window.process.readAllStandardError().startsWith("nimbra: no display found;"));
    EXPECT_FALSE(QFileInfo::exists(window.prefs)) << "it gave up before touching anything";

    Launch selfTest({"--verify-socks-lifecycle"}, "/nonexistent");  // no usque anywhere
    ASSERT_TRUE(selfTest.finished);
    EXPECT_EQ(selfTest.process.exitCode(), 1);
    const std::string report = selfTest.process.readAllStandardError().toStdString();
    EXPECT_NE(report.find("[self-test] listeners before: "), std::string::npos) << report;
    EXPECT_NE(report.find("[self-test] FAIL: 找不到 usque"), std::string::npos) << report;
}

TEST(ShellLaunch, ADisplayIsAVariableNamingOneOrAPlatformChoice) {
    const char* plain[] = {"nimbra"};
    const char* platform[] = {"nimbra", "-platform", "offscreen"};
    const QByteArray qpa = qgetenv("QT_QPA_PLATFORM");
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) qunsetenv(name);
    EXPECT_FALSE(displayAvailable(1, plain));
    EXPECT_TRUE(displayAvailable(3, platform));
    qputenv("WAYLAND_DISPLAY", "");
    EXPECT_FALSE(displayAvailable(1, plain)) << "an empty variable names no display";
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_TRUE(displayAvailable(1, plain));
    qunsetenv("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", qpa.isEmpty() ? QByteArray("offscreen") : qpa);
    EXPECT_TRUE(displayAvailable(1, plain));
}

}  // namespace
}  // namespace nimbra::shell
