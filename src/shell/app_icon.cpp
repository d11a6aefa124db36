#include "shell/app_icon.hpp"

#include <QColor>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "shell/launch.hpp"

namespace nimbra::shell {
namespace {

// Mirrors packaging/icons/nimbra.svg, drawn on a 256-unit square.
QPixmap paintIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 256.0, size / 256.0);

    QLinearGradient background(0, 0, 0, 256);
    background.setColorAt(0, QColor(0x3a, 0x4a, 0x5e));
    background.setColorAt(1, QColor(0x22, 0x2c, 0x38));
    painter.setPen(Qt::NoPen);
    painter.setBrush(background);
    painter.drawRoundedRect(QRectF(8, 8, 240, 240), 52, 52);

    QPainterPath cloud;
    cloud.setFillRule(Qt::WindingFill);
    cloud.addEllipse(QPointF(94, 142), 38, 38);
    cloud.addEllipse(QPointF(140, 120), 52, 52);
    cloud.addEllipse(QPointF(184, 148), 32, 32);
    cloud.addRoundedRect(QRectF(56, 142, 160, 38), 19, 19);
    painter.setBrush(QColor(0xf4, 0xf6, 0xf8));
    painter.drawPath(cloud.simplified());

    painter.setBrush(QColor(0xf3, 0x80, 0x20));
    painter.drawEllipse(QPointF(200, 60), 14, 14);
    return pixmap;
}

}  // namespace

QIcon appIcon() {
    if (QImageReader::supportedImageFormats().contains("svg")) {
        QIcon icon(
            QString::fromUtf8(kIconResource.data(), static_cast<qsizetype>(kIconResource.size())));
        if (!icon.availableSizes().isEmpty() || !icon.pixmap(64, 64).isNull()) return icon;
    }
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) icon.addPixmap(paintIcon(size));
    return icon;
}

}  // namespace nimbra::shell
