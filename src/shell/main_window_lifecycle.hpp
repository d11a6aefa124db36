#pragma once

#include <QObject>
#include <QRect>
#include <functional>
#include <optional>

#include "shell/launch_request.hpp"

class QQuickWindow;

namespace nimbra::shell {

// Whether a toggle hides the main window: only when it is on screen and the window the user is
// working in. One behind other windows comes to the front instead of vanishing.
constexpr bool toggleHides(bool visible, bool active) {
    return visible && active;
}

// The one main window's life: shown, raised and activated on request, hidden instead of closed
// (the window, its state and the connection live on until Quit), put back where it was.
// Visibility changes are logged in the "nimbra.window" category (debug, off by default).
class MainWindowLifecycle : public QObject {
    Q_OBJECT

public:
    // Starts building the window and hands it to `ready` once built (never, when it cannot be).
    using WindowReady = std::function<void(QQuickWindow*)>;
    using WindowBuilder = std::function<void(WindowReady ready)>;

    // Takes over the window's close; the window must outlive this object.
    explicit MainWindowLifecycle(QQuickWindow& window, QObject* parent = nullptr);
    // Builds the window only when it is first to be shown (see startBuilding); what is asked
    // meanwhile happens once it is built. The window it builds must outlive this object too.
    explicit MainWindowLifecycle(WindowBuilder build, QObject* parent = nullptr);

    Q_INVOKABLE void showExistingMainWindow();
    Q_INVOKABLE void toggleMainWindow();
    // Shows the window on its per-app rules tab (the window's "requestedTab" property).
    void showAppRules();
    // Carries out what a launch asked for, this one's or a later one's.
    void handle(LaunchRequest request);

Q_SIGNALS:
    void windowBuilt(QQuickWindow* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What was asked while the window was being built, the last ask winning.
    enum class Asked { nothing, show, appRules };

    void startBuilding(Asked asked);
    void built(QQuickWindow* window);
    void adopt(QQuickWindow& window);
    void hide();

    WindowBuilder build_;
    Asked askedWhileBuilding_ = Asked::nothing;
    QQuickWindow* window_ = nullptr;
    std::optional<QRect> geometry_;
};

}  // namespace nimbra::shell
