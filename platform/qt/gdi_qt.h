#pragma once
// Private to platform/: the Qt side of a Picture, for window surfaces and
// PNG output. Nothing outside platform/ includes this.

#include <mutex>

#include <QImage>

#include "platform/gdi.h"

namespace platform {

struct Picture::Impl {
    QImage image; // Format_RGB32; null when width or height is 0
    mutable std::mutex mutex;
};

} // namespace platform
