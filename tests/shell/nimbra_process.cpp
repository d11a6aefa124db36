#include "nimbra_process.hpp"

#include <QFileInfo>
#include <QProcessEnvironment>
#include <csignal>
#include <filesystem>

namespace nimbra::testing {
namespace {

QString qpath(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

NimbraProcess::NimbraProcess(const TempDir& dir, const std::string& name,
                             const QStringList& arguments, const Setup& setup) {
    const std::filesystem::path home = dir / name;
    const std::filesystem::path runtime = dir / "runtime";
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (setup.platform == "offscreen") {
        for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY"}) env.remove(unset);
    }
    if (setup.bus) {
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        if (!setup.bus->empty()) {
            env.insert("DBUS_SESSION_BUS_ADDRESS", QString::fromStdString(*setup.bus));
        }
    }
    env.insert("QT_QPA_PLATFORM", setup.platform);
    env.insert("QT_LOGGING_RULES", "nimbra.window.debug=true");
    env.insert("XDG_RUNTIME_DIR", qpath(runtime));
    env.insert("HOME", qpath(home));
    for (const char* xdg : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) {
        env.insert(xdg, qpath(home / xdg));
    }
    // What the shown window probes (the exit, the gateways) stays on this machine, where nothing
    // answers.
    env.insert("NIMBRA_TRACE_HOST", "127.0.0.1:1");
    env.insert("NIMBRA_ENDPOINT_V4", "127.0.0.1");
    env.insert("NIMBRA_ENDPOINT_V6", "::1");
    env.insert("NIMBRA_FREMONT_NAT64_PREFIX", "::ffff:");
    env.insert("NIMBRA_ANYCAST_RESOLVER", "127.0.0.1");
    env.insert("NIMBRA_GATEWAY_PROBE_PORT", "1");
    prefs = qpath(home / "prefs.json");
    env.insert("NIMBRA_PREFERENCES_FILE", prefs);
    process.setProcessEnvironment(env);
    process.start(NIMBRA_EXECUTABLE, arguments);
}

NimbraProcess::~NimbraProcess() {
    if (process.state() == QProcess::NotRunning) return;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    process.waitForFinished(60'000);
}

bool NimbraProcess::controllerStarted() const {
    return QFileInfo::exists(prefs);
}

QStringList NimbraProcess::stderrLines() {
    log += QString::fromUtf8(process.readAllStandardError());
    return log.split('\n', Qt::SkipEmptyParts);
}

QStringList NimbraProcess::windowLog() {
    QStringList lines;
    for (const QString& line : stderrLines()) {
        if (line.startsWith("nimbra.window: ")) lines << line.mid(15);
    }
    return lines;
}

}  // namespace nimbra::testing
