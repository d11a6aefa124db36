#include "shell/main_window_lifecycle.hpp"

#include <malloc.h>

#include <QEvent>
#include <QLoggingCategory>
#include <QQuickWindow>
#include <utility>

namespace nimbra::shell {
namespace {

Q_LOGGING_CATEGORY(lcWindow, "nimbra.window", QtInfoMsg)

}  // namespace

MainWindowLifecycle::MainWindowLifecycle(QQuickWindow& window, QObject* parent) : QObject(parent) {
    adopt(window);
}

MainWindowLifecycle::MainWindowLifecycle(WindowBuilder build, QObject* parent)
    : QObject(parent), build_(std::move(build)) {}

void MainWindowLifecycle::startBuilding(Asked asked) {
    askedWhileBuilding_ = asked;
    // Building a Qt Quick window makes Qt pick its render loop, and on X11 that opens a probe GL
    // context which maps the whole GL driver (llvmpipe: libLLVM and about 55 MiB resident) and
    // keeps it for the life of the process. A start at login with --hidden waits here until the
    // user first asks for the window, so it never pays for one nobody opened.
    if (build_) {
        std::exchange(build_, nullptr)([this](QQuickWindow* window) { built(window); });
    }
}

void MainWindowLifecycle::built(QQuickWindow* window) {
    qCDebug(lcWindow, "built");
    adopt(*window);
    Q_EMIT windowBuilt(window);
    switch (std::exchange(askedWhileBuilding_, Asked::nothing)) {
        case Asked::show:
            showExistingMainWindow();
            return;
        case Asked::appRules:
            showAppRules();
            return;
        case Asked::nothing:
            return;
    }
}

void MainWindowLifecycle::adopt(QQuickWindow& window) {
    window_ = &window;
    window_->installEventFilter(this);
    window_->setProperty("lifecycle", QVariant::fromValue<QObject*>(this));
    // A hidden window keeps no scene graph and no graphics context: Qt drops them when it is
    // hidden (see hide) and builds them again at the next show.
    window_->setPersistentGraphics(false);
    window_->setPersistentSceneGraph(false);
    connect(window_, &QWindow::visibleChanged, this,
            [](bool visible) { qCDebug(lcWindow, "%s", visible ? "shown" : "hidden"); });
}

void MainWindowLifecycle::showExistingMainWindow() {
    if (window_ == nullptr) return startBuilding(Asked::show);
    QQuickWindow* window = window_;
    // The window manager may place a re-shown window anew; put it back where the user left it.
    if (geometry_ && !window->isVisible()) window->setGeometry(*geometry_);
    window->show();
    window->raise();
    window->requestActivate();
}

void MainWindowLifecycle::toggleMainWindow() {
    if (window_ != nullptr && toggleHides(window_->isVisible(), window_->isActive())) {
        hide();
    } else {
        showExistingMainWindow();
    }
}

void MainWindowLifecycle::showAppRules() {
    if (window_ == nullptr) return startBuilding(Asked::appRules);
    showExistingMainWindow();
    window_->setProperty("requestedTab", QStringLiteral("appRules"));
    qCDebug(lcWindow, "requested tab %s", qPrintable(window_->property("requestedTab").toString()));
}

void MainWindowLifecycle::handle(LaunchRequest request) {
    switch (request) {
        case LaunchRequest::show:
            showExistingMainWindow();
            return;
        case LaunchRequest::toggle:
            toggleMainWindow();
            return;
        case LaunchRequest::showAppRules:
            showAppRules();
            return;
        case LaunchRequest::toggleConnection:
            return;  // the connection's, not the window's (launch_dispatch.hpp)
    }
}

bool MainWindowLifecycle::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_ || event->type() != QEvent::Close) return false;
    // Closing would tear the window down; hiding keeps it, and nothing that hangs off it (the
    // model, the connection) notices more than a hidden window.
    event->ignore();
    hide();
    return true;
}

void MainWindowLifecycle::hide() {
    geometry_ = window_->geometry();
    window_->hide();
    // The window may stay hidden for days; give back what its drawing held (the renderer's
    // buffers and caches, about 20 MiB with llvmpipe) and the heap pages that frees. The GL
    // driver's own code stays mapped: nothing unloads it while the process lives.
    window_->releaseResources();
    malloc_trim(0);
}

}  // namespace nimbra::shell
