#include "shell/global_hot_key.hpp"

#include <QDBusConnection>
#include <QGuiApplication>
#include <cstdio>

#include "shell/portal_global_shortcut.hpp"
#include "shell/x11_hot_key_grab.hpp"

namespace nimbra::shell {
namespace {

// Qt's X connection when it draws through X11; none on Wayland ("wayland", "wayland-egl"), where
// no client may grab keys, nor on the offscreen and other platforms.
xcb_connection_t* xConnection() {
    if (QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 != nullptr ? x11->connection() : nullptr;
}

}  // namespace

GlobalHotKey::GlobalHotKey(QObject* parent) : QObject(parent) {}

GlobalHotKey::~GlobalHotKey() {
    uninstall();
}

void GlobalHotKey::install() {
    if (installed_) return;
    // Set before anything can fail, so that a refused shortcut is not asked for again.
    installed_ = true;
    connect(qApp, &QCoreApplication::aboutToQuit, this, &GlobalHotKey::uninstall);
    if (xcb_connection_t* connection = xConnection()) {
        x11_ = std::make_unique<X11HotKeyGrab>(connection);
        connect(x11_.get(), &X11HotKeyGrab::pressed, this, &GlobalHotKey::pressed);
        connect(x11_.get(), &X11HotKeyGrab::unavailable, this, &GlobalHotKey::report);
        x11_->start();
    } else {
        portal_ = std::make_unique<PortalGlobalShortcut>(QDBusConnection::sessionBus());
        connect(portal_.get(), &PortalGlobalShortcut::pressed, this, &GlobalHotKey::pressed);
        connect(portal_.get(), &PortalGlobalShortcut::unavailable, this, &GlobalHotKey::report);
        portal_->start();
    }
}

void GlobalHotKey::uninstall() {
    if (!installed_) return;
    installed_ = false;
    x11_.reset();
    portal_.reset();
}

void GlobalHotKey::report(const QString& reason) {
    std::fprintf(stderr, "Nimbra: global shortcut Alt+M unavailable: %s\n", qPrintable(reason));
}

}  // namespace nimbra::shell
