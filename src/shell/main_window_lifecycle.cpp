#include "shell/main_window_lifecycle.hpp"

#include <QEvent>
#include <QLoggingCategory>
#include <QQuickWindow>

namespace nimbra::shell {
namespace {

Q_LOGGING_CATEGORY(lcWindow, "nimbra.window", QtInfoMsg)

}  // namespace

MainWindowLifecycle::MainWindowLifecycle(QQuickWindow& window, QObject* parent)
    : QObject(parent), window_(window) {
    window_.installEventFilter(this);
    window_.setProperty("lifecycle", QVariant::fromValue<QObject*>(this));
    connect(&window_, &QWindow::visibleChanged, this,
            [](bool visible) { qCDebug(lcWindow, "%s", visible ? "shown" : "hidden"); });
}

void MainWindowLifecycle::showExistingMainWindow() {
    // The window manager may place a re-shown window anew; put it back where the user left it.
    if (geometry_ && !window_.isVisible()) window_.setGeometry(*geometry_);
    window_.show();
    window_.raise();
    window_.requestActivate();
}

void MainWindowLifecycle::toggleMainWindow() {
    if (toggleHides(window_.isVisible(), window_.isActive())) {
        hide();
    } else {
        showExistingMainWindow();
    }
}

void MainWindowLifecycle::showAppRules() {
    showExistingMainWindow();
    window_.setProperty("requestedTab", QStringLiteral("appRules"));
    qCDebug(lcWindow, "requested tab %s", qPrintable(window_.property("requestedTab").toString()));
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
    if (watched != &window_ || event->type() != QEvent::Close) return false;
    // Closing would tear the window down; hiding keeps it, and nothing that hangs off it (the
    // model, the connection) notices more than a hidden window.
    event->ignore();
    hide();
    return true;
}

void MainWindowLifecycle::hide() {
    geometry_ = window_.geometry();
    window_.hide();
}

}  // namespace nimbra::shell
