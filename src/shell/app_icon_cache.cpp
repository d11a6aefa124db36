#include "shell/app_icon_cache.hpp"

#include <QMutexLocker>

namespace nimbra::shell {

AppIconCache::AppIconCache() : images_(kCapacity) {}

AppIconCache::Key AppIconCache::keyOf(const QString& icon, QSize size) {
    return {icon, {size.width(), size.height()}};
}

QImage AppIconCache::find(const QString& icon, QSize size) const {
    const QMutexLocker lock(&mutex_);
    const QImage* image = images_.object(keyOf(icon, size));
    return image != nullptr ? *image : QImage();
}

void AppIconCache::insert(const QString& icon, QSize size, const QImage& image) {
    const QMutexLocker lock(&mutex_);
    images_.insert(keyOf(icon, size), new QImage(image));
}

qsizetype AppIconCache::count() const {
    const QMutexLocker lock(&mutex_);
    return images_.count();
}

}  // namespace nimbra::shell
