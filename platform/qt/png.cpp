#include "platform/png.h"

#include <QImage>
#include <QString>

#include "platform/gdi.h"

namespace platform {

bool savePng(const Picture& picture, const std::string& path) {
    if (picture.width() <= 0 || picture.height() <= 0) {
        return false;
    }
    // Wraps the pixels without copying; the top byte is always 0xFF, so
    // RGB32 is the matching format.
    const QImage image(reinterpret_cast<const uchar*>(picture.pixels()), picture.width(), picture.height(),
                       static_cast<qsizetype>(picture.stride()) * 4, QImage::Format_RGB32);
    return image.save(QString::fromStdString(path), "PNG");
}

bool saveXpmAsPng(const char* const* xpm, int sizePx, const std::string& path) {
    if (xpm == nullptr || sizePx < 1 || sizePx > 1024) {
        return false;
    }
    const QImage image(xpm);
    if (image.isNull() || image.width() != image.height()) {
        return false;
    }
    const Qt::TransformationMode mode = sizePx % image.width() == 0 ? Qt::FastTransformation : Qt::SmoothTransformation;
    const QImage scaled =
        image.convertToFormat(QImage::Format_ARGB32).scaled(sizePx, sizePx, Qt::IgnoreAspectRatio, mode);
    return scaled.save(QString::fromStdString(path), "PNG");
}

} // namespace platform
