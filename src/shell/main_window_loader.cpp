#include "shell/main_window_loader.hpp"

#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlIncubationController>
#include <QQuickWindow>
#include <QTimer>
#include <utility>

#include "shell/launch.hpp"

namespace nimbra::shell {
namespace {

QString describe(const QList<QQmlError>& errors) {
    QStringList lines;
    for (const QQmlError& error : errors) lines << error.toString();
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

// Gives the engine's asynchronous creations a few milliseconds at a time from the event loop,
// and only while there is something to create: the timer stops when the count drops to zero.
class SlicedIncubation : public QQmlIncubationController {
public:
    SlicedIncubation() {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, [this] { incubateFor(kSliceMs); });
    }

protected:
    void incubatingObjectCountChanged(int count) override {
        if (count > 0) {
            timer_.start();
        } else {
            timer_.stop();
        }
    }

private:
    // Short enough that an event waiting behind a slice is handled within a frame.
    static constexpr int kSliceMs = 6;
    QTimer timer_;
};

class MainWindowLoader::Incubator : public QQmlIncubator {
public:
    explicit Incubator(MainWindowLoader& owner)
        : QQmlIncubator(QQmlIncubator::Asynchronous), owner_(owner) {}

protected:
    void statusChanged(Status status) override {
        if (status == Ready || status == Error) owner_.incubated();
    }

private:
    MainWindowLoader& owner_;
};

MainWindowLoader::MainWindowLoader(QQmlEngine& engine, QObject* parent)
    : QObject(parent), engine_(engine) {}

MainWindowLoader::~MainWindowLoader() {
    // A build still running is called off before the objects it would land in go.
    if (incubator_) incubator_->clear();
}

void MainWindowLoader::start() {
    if (component_ != nullptr) return;
    // The window is the engine's only asynchronous creation; a controller already installed
    // (a QQuickWindow's, in tests that built one before) drives it as well as ours would.
    if (engine_.incubationController() == nullptr) {
        slices_ = std::make_unique<SlicedIncubation>();
        engine_.setIncubationController(slices_.get());
    }
    component_ =
        new QQmlComponent(&engine_,
                          QUrl(QString::fromUtf8(kMainWindowUrl.data(),
                                                 static_cast<qsizetype>(kMainWindowUrl.size()))),
                          QQmlComponent::Asynchronous, this);
    connect(component_, &QQmlComponent::statusChanged, this,
            &MainWindowLoader::componentStatusChanged);
    componentStatusChanged();  // a component already in the engine's cache is ready at once
}

void MainWindowLoader::componentStatusChanged() {
    if (component_->isError()) return Q_EMIT failed(describe(component_->errors()));
    if (!component_->isReady() || incubator_) return;
    incubator_ = std::make_unique<Incubator>(*this);
    component_->create(*incubator_);
}

void MainWindowLoader::incubated() {
    if (incubator_->isError()) return Q_EMIT failed(describe(incubator_->errors()));
    QObject* root = incubator_->object();
    auto* window = qobject_cast<QQuickWindow*>(root);
    if (window == nullptr) {
        delete root;
        return Q_EMIT failed(QStringLiteral("the main window's root object is not a window"));
    }
    QQmlEngine::setObjectOwnership(window, QQmlEngine::CppOwnership);
    window_.reset(window);
    Q_EMIT built(window);
}

}  // namespace nimbra::shell
