#include "shell/app_icon_provider.hpp"

#include <QFile>
#include <QIcon>
#include <QImageReader>
#include <QQmlEngine>
#include <QQuickTextureFactory>
#include <QRunnable>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <optional>

namespace nimbra::shell {
namespace {

// Icons are small files; two threads keep a long list filling in without competing with the
// core's pools for the machine's cores.
constexpr int kIconThreads = 2;
// Larger than any icon (themes stop at 512 px); a bigger picture named as an icon is refused
// before it is decoded.
constexpr qint64 kMaxSourcePixels = 4096LL * 4096LL;
// A sourceSize far beyond any row's icon would only allocate.
constexpr int kMaxServedPixels = 1024;
constexpr const char* kGenericIconNames[] = {"application-x-executable",
                                             "application-default-icon"};

// The decoded file fitted into `box`, or a null image when it is not a picture Qt can read.
QImage readIconFile(const QString& file, QSize box) {
    QImageReader reader(file);
    const QSize natural = reader.size();
    if (natural.isValid() &&
        static_cast<qint64>(natural.width()) * natural.height() > kMaxSourcePixels) {
        return {};
    }
    // Vector images are rendered at the wanted size rather than drawn large and shrunk.
    if (natural.isValid() && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        reader.setScaledSize(natural.scaled(box, Qt::KeepAspectRatio));
    }
    QImage image = reader.read();
    if (image.isNull() || image.size() == box) return image;
    return image.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

QImage findAndRead(const std::string& icon, QSize box, const AppIconSources& sources) {
    const std::optional<std::filesystem::path> file = apprules::findIconFile(
        icon, std::max(box.width(), box.height()), sources.theme, sources.paths);
    if (!file) return {};
    return readIconFile(QFile::decodeName(file->c_str()), box);
}

QImage renderAppIcon(const QString& icon, QSize box, const AppIconSources& sources) {
    QImage image = findAndRead(QFile::encodeName(icon).toStdString(), box, sources);
    for (const char* generic : kGenericIconNames) {
        if (!image.isNull()) break;
        image = findAndRead(generic, box, sources);
    }
    if (image.isNull()) image = readIconFile(QString::fromUtf8(kGenericAppIconResource), box);
    return image;
}

// QML may hand over the id partly decoded (QUrl's pretty form keeps "%25" and "%2F" encoded);
// decoding what is left gives the Icon value either way.
QString iconValueOf(const QString& id) {
    return QUrl::fromPercentEncoding(id.toUtf8());
}

// The size to serve: the one asked for (within bounds), a missing side taken from the other,
// the default when QML asked for none.
QSize boxFor(QSize requested) {
    int width = requested.width() > 0 ? requested.width() : requested.height();
    int height = requested.height() > 0 ? requested.height() : requested.width();
    if (width <= 0) width = height = kDefaultAppIconPixels;
    return {std::min(width, kMaxServedPixels), std::min(height, kMaxServedPixels)};
}

// One request's work on the icon pool. The response listens to `done` rather than being
// called directly: QML may cancel and delete the response while the job still runs, and the
// connection ends with it.
class AppIconJob : public QObject, public QRunnable {
    Q_OBJECT

public:
    AppIconJob(std::shared_ptr<AppIconSources> sources, QString icon, QSize box,
               std::shared_ptr<const std::atomic<bool>> cancelled)
        : sources_(std::move(sources)),
          icon_(std::move(icon)),
          box_(box),
          cancelled_(std::move(cancelled)) {}

    void run() override {
        if (cancelled_->load()) return;
        QImage image = sources_->cache.find(icon_, box_);
        if (image.isNull()) {
            image = renderAppIcon(icon_, box_, *sources_);
            sources_->cache.insert(icon_, box_, image);
        }
        Q_EMIT done(image);
    }

Q_SIGNALS:
    void done(const QImage& image);

private:
    std::shared_ptr<AppIconSources> sources_;
    QString icon_;
    QSize box_;
    std::shared_ptr<const std::atomic<bool>> cancelled_;
};

class AppIconResponse : public QQuickImageResponse {
public:
    AppIconResponse(const std::shared_ptr<AppIconSources>& sources, const QString& icon, QSize box,
                    QThreadPool& pool) {
        auto* job = new AppIconJob(sources, icon, box, cancelled_);
        connect(job, &AppIconJob::done, this, [this](const QImage& image) {
            image_ = image;
            Q_EMIT finished();
        });
        pool.start(job);
    }

    QQuickTextureFactory* textureFactory() const override {
        return QQuickTextureFactory::textureFactoryForImage(image_);
    }

    void cancel() override { cancelled_->store(true); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_ = std::make_shared<std::atomic<bool>>(false);
    QImage image_;
};

}  // namespace

AppIconProvider::AppIconProvider(std::string theme, apprules::IconSearchPaths paths)
    : sources_(std::make_shared<AppIconSources>()) {
    sources_->theme = std::move(theme);
    sources_->paths = std::move(paths);
    pool_.setMaxThreadCount(kIconThreads);
}

AppIconProvider::~AppIconProvider() {
    pool_.clear();
    pool_.waitForDone();
}

QQuickImageResponse* AppIconProvider::requestImageResponse(const QString& id,
                                                           const QSize& requestedSize) {
    return new AppIconResponse(sources_, iconValueOf(id), boxFor(requestedSize), pool_);
}

void installAppIconProvider(QQmlEngine& engine) {
    engine.addImageProvider(QString::fromUtf8(kAppIconProviderId),
                            new AppIconProvider(QIcon::themeName().toStdString(),
                                                apprules::IconSearchPaths::fromEnvironment()));
}

}  // namespace nimbra::shell

#include "app_icon_provider.moc"
