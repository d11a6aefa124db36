#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <filesystem>
#include <utility>

#include "support/private_dbus_session.hpp"
#include "support/temp_dir.hpp"
#include "wait.hpp"

namespace nimbra::shell {
namespace {

using nimbra::testing::PrivateDbusSession;
using nimbra::testing::TempDir;
using nimbra::testing::waitUntil;

QString qpath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

// One `nimbra` on the offscreen platform with a home, XDG folders and preferences of its own
// under <dir>/<name>; the runtime folder (the fallback's lock and socket) and the session bus
// (none when `bus` is empty) are what launches share. The window's visibility changes and tab
// requests come on stderr through the "nimbra.window" debug category.
struct Nimbra {
    Nimbra(const TempDir& dir, const std::string& name, const QStringList& arguments,
           const std::string& bus) {
        const std::filesystem::path home = dir / name;
        std::filesystem::create_directories(home);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            env.remove(unset);
        }
        if (!bus.empty()) env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(bus));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_LOGGING_RULES", "nimbra.window.debug=true");
        env.insert("XDG_RUNTIME_DIR", qpath(dir / "runtime"));
        env.insert("HOME", qpath(home));
        for (const char* xdg : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
            env.insert(xdg, qpath(home / xdg));
        }
        prefs = qpath(home / "prefs.json");
        env.insert("NIMBRA_PREFERENCES_FILE", prefs);
        process.setProcessEnvironment(env);
        process.start(NIMBRA_EXECUTABLE, arguments);
    }
    ~Nimbra() {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        process.waitForFinished(60'000);
    }
    // Its controller exists once it wrote its preferences (a later launch must never get there).
    bool controllerStarted() const { return QFileInfo::exists(prefs); }
    // Everything it logged about its window so far, one entry per line.
    QStringList windowLog() {
        log += QString::fromUtf8(process.readAllStandardError());
        QStringList lines;
        for (const QString& line : log.split('\n')) {
            if (line.startsWith("nimbra.window: ")) lines << line.mid(15);
        }
        return lines;
    }

    QString prefs;
    QString log;
    QProcess process;
};

std::filesystem::path runtimeDir(const TempDir& dir) {
    std::filesystem::create_directory(dir / "runtime");
    std::filesystem::permissions(dir / "runtime", std::filesystem::perms::owner_all);
    return dir / "runtime";
}

// Runs a later launch to its end; false when it did not exit 0 or started a controller.
::testing::AssertionResult laterLaunch(const TempDir& dir, const QStringList& arguments,
                                       const std::string& bus) {
    Nimbra later(dir, "later", arguments, bus);
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
    runtimeDir(dir);
    PrivateDbusSession bus(dir / "dbus");
    Nimbra first(dir, "first", {"--hidden"}, bus.address());
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
    const std::filesystem::path runtime = runtimeDir(dir);
    Nimbra first(dir, "first", {}, "");
    ASSERT_TRUE(waitUntil([&] {
        return first.windowLog() == QStringList{"built", "shown"};
    })) << first.log.toStdString();

    ASSERT_TRUE(laterLaunch(dir, {"--toggle"}, ""));
    EXPECT_TRUE(waitUntil([&] {
        return first.windowLog() == QStringList{"built", "shown", "hidden"};
    })) << first.log.toStdString();
    struct stat socket {};
    ASSERT_EQ(::stat((runtime / "io.github.nimbra.Nimbra.socket").c_str(), &socket), 0);
    EXPECT_EQ(socket.st_mode & 077, 0u);
}

}  // namespace
}  // namespace nimbra::shell
