#include "shell/launch.hpp"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>

#include "base/version.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

QProcessEnvironment withoutDisplay() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    return env;
}

TEST(ShellLaunch, VersionPrintsWithoutNeedingADisplay) {
    QProcess nimbra;
    nimbra.setProcessEnvironment(withoutDisplay());
    nimbra.start(NIMBRA_EXECUTABLE, {"--version"});
    ASSERT_TRUE(nimbra.waitForFinished(10000));
    EXPECT_EQ(nimbra.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(nimbra.exitCode(), 0);
    EXPECT_EQ(nimbra.readAllStandardOutput().toStdString(),
              std::string("nimbra ") + kVersion + "\n");
}

TEST(ShellLaunch, NoDisplayExitsWithCode2AndSaysWhy) {
    TempDir dir;
    QProcessEnvironment env = withoutDisplay();
    env.insert("NIMBRA_PREFERENCES_FILE", QString::fromStdString((dir / "prefs.json").string()));
    QProcess nimbra;
    nimbra.setProcessEnvironment(env);
    nimbra.start(NIMBRA_EXECUTABLE, {});
    ASSERT_TRUE(nimbra.waitForFinished(10000));
    EXPECT_EQ(nimbra.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(nimbra.exitCode(), 2);
    EXPECT_TRUE(nimbra.readAllStandardError().startsWith("nimbra: no display found;"));
    // It gave up before touching anything.
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString((dir / "prefs.json").string())));
}

TEST(ShellLaunch, TheSelfTestRunsWithoutADisplayAndReportsItsExitCode) {
    TempDir dir;
    QProcessEnvironment env = withoutDisplay();
    env.insert("HOME", QString::fromStdString(dir.path().string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((dir / "data").string()));
    env.insert("NIMBRA_PREFERENCES_FILE", QString::fromStdString((dir / "prefs.json").string()));
    env.insert("PATH", "/nonexistent");  // no usque anywhere: the start fails with code 1
    QProcess nimbra;
    nimbra.setProcessEnvironment(env);
    nimbra.start(NIMBRA_EXECUTABLE, {"--verify-socks-lifecycle"});
    ASSERT_TRUE(nimbra.waitForFinished(20000));
    EXPECT_EQ(nimbra.exitCode(), 1);
    const std::string report = nimbra.readAllStandardError().toStdString();
    EXPECT_NE(report.find("[self-test] listeners before: "), std::string::npos) << report;
    EXPECT_NE(report.find("[self-test] FAIL: 找不到 usque"), std::string::npos) << report;
}

TEST(ShellLaunch, DisplayDetection) {
    const char* plain[] = {"nimbra"};
    const char* platform[] = {"nimbra", "-platform", "offscreen"};
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    const QByteArray qpa = qgetenv("QT_QPA_PLATFORM");
    qunsetenv("QT_QPA_PLATFORM");
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

TEST(ShellLaunch, TerminationSignalQuitsCleanly) {
    TempDir dir;
    const QString prefs = QString::fromStdString((dir / "prefs.json").string());
    QProcessEnvironment env = withoutDisplay();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("NIMBRA_PREFERENCES_FILE", prefs);
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(dir.path().string()));
    QProcess nimbra;
    nimbra.setProcessEnvironment(env);
    nimbra.start(NIMBRA_EXECUTABLE, {});
    ASSERT_TRUE(nimbra.waitForStarted(10000));

    // The controller writes its preferences once it exists, after the signal handlers are in.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo::exists(prefs); }, std::chrono::seconds(10)));
    ASSERT_EQ(nimbra.state(), QProcess::Running) << nimbra.readAllStandardError().toStdString();

    ::kill(static_cast<pid_t>(nimbra.processId()), SIGTERM);
    ASSERT_TRUE(nimbra.waitForFinished(10000)) << "still running after SIGTERM";
    EXPECT_EQ(nimbra.exitStatus(), QProcess::NormalExit)
        << nimbra.readAllStandardError().toStdString();
    EXPECT_EQ(nimbra.exitCode(), 0);
}

}  // namespace
}  // namespace nimbra::shell
