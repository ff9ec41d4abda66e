#include "session/lamp_images.h"

#include <QColor>
#include <QImage>

namespace tarvo {
namespace {

QPixmap noDataPixmap() {
    QImage image = QPixmap(QStringLiteral(":/images/lamp_green.png"))
                       .toImage()
                       .convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int grey = 150 + qGray(c.rgb()) / 4;
            image.setPixelColor(x, y, QColor(grey, grey, grey, c.alpha()));
        }
    return QPixmap::fromImage(image);
}

} // namespace

QPixmap lampPixmap(Lamp lamp) {
    switch (lamp) {
    case Lamp::Warning:
        return QPixmap(QStringLiteral(":/images/lamp_yellow.png"));
    case Lamp::Alarm:
        return QPixmap(QStringLiteral(":/images/lamp_red.png"));
    case Lamp::NoData:
        return noDataPixmap();
    case Lamp::Normal:
        break;
    }
    return QPixmap(QStringLiteral(":/images/lamp_green.png"));
}

} // namespace tarvo
