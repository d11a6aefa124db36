#include "shell/launch.hpp"

#include <QObject>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <cstdlib>
#include <cstring>

namespace nimbra::shell {
namespace {

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool hasArgument(int argc, const char* const* argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

}  // namespace

bool wantsVersion(int argc, const char* const* argv) {
    return hasArgument(argc, argv, "--version");
}

bool displayAvailable(int argc, const char* const* argv) {
    return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("QT_QPA_PLATFORM") ||
           hasArgument(argc, argv, "-platform") || hasArgument(argc, argv, "--platform");
}

QQuickWindow* loadMainWindow(QQmlApplicationEngine& engine) {
    engine.load(QUrl(
        QString::fromUtf8(kMainWindowUrl.data(), static_cast<qsizetype>(kMainWindowUrl.size()))));
    for (QObject* root : engine.rootObjects()) {
        if (auto* window = qobject_cast<QQuickWindow*>(root)) return window;
    }
    return nullptr;
}

}  // namespace nimbra::shell
