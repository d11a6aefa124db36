#pragma once

#include <QCache>
#include <QImage>
#include <QMutex>
#include <QSize>
#include <QString>
#include <utility>

namespace nimbra::shell {

// Application icons already drawn, by Icon value and size. Shared by the lookups running on the
// icon pool, hence the lock. It keeps the 256 most recently used: a panel listing every installed
// application at two sizes would otherwise hold all of them for the life of the process.
class AppIconCache {
public:
    static constexpr qsizetype kCapacity = 256;

    AppIconCache();

    // The image stored for (icon, size), a null image when there is none. A hit counts as a use.
    QImage find(const QString& icon, QSize size) const;
    void insert(const QString& icon, QSize size, const QImage& image);
    qsizetype count() const;

private:
    using Key = std::pair<QString, std::pair<int, int>>;
    static Key keyOf(const QString& icon, QSize size);

    mutable QMutex mutex_;
    // QCache forgets the least recently used entry first; each entry costs one.
    mutable QCache<Key, QImage> images_;
};

}  // namespace nimbra::shell
