#pragma once

#include <QObject>
#include <QQmlIncubator>
#include <QString>
#include <memory>

class QQmlComponent;
class QQmlEngine;
class QQuickWindow;

namespace nimbra::shell {

class SlicedIncubation;

// Builds the main window without holding up the GUI thread: the QML is compiled on the engine's
// loader thread and the objects are created in slices of a few milliseconds between events, so
// the tray, a key press or a second launch are heard while the window is being built. Its texts
// and actions come from the engine's "view" and "theme" context properties, set first.
// Owns the window it built.
class MainWindowLoader : public QObject {
    Q_OBJECT

public:
    explicit MainWindowLoader(QQmlEngine& engine, QObject* parent = nullptr);
    ~MainWindowLoader() override;

    // Starts building (once; later calls do nothing). Ends in built() or failed().
    void start();

Q_SIGNALS:
    void built(QQuickWindow* window);
    // The QML errors, one per line.
    void failed(const QString& errors);

private:
    class Incubator;
    void componentStatusChanged();
    void incubated();

    QQmlEngine& engine_;
    std::unique_ptr<SlicedIncubation> slices_;
    QQmlComponent* component_ = nullptr;
    std::unique_ptr<Incubator> incubator_;
    std::unique_ptr<QQuickWindow> window_;
};

}  // namespace nimbra::shell
