// The pixel rules of drawing: which pixels a line, a rectangle or a block
// copy lights, on any picture, whatever draws the text.

#include "platform/core/pixels.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/gdi.h"

namespace platform {

namespace {

__extension__ typedef __int128 Wide; // GCC and Clang both have it

} // namespace

// Copies the part of a width × height block that lies inside both pictures.
// Rows go bottom-up when the destination lies below the source in the same
// buffer, so no row is overwritten before it is read; memmove covers the
// overlap within a row. Allocation-free.
void copyBlock(std::uint32_t* dst, int dstStride, int dstW, int dstH, int dstX, int dstY, const std::uint32_t* src,
               int srcStride, int srcW, int srcH, int srcX, int srcY, int width, int height) {
    if (width <= 0 || height <= 0 || dst == nullptr || src == nullptr) {
        return;
    }
    // Offsets c within the block with 0 ≤ srcX + c < srcW and 0 ≤ dstX + c < dstW;
    // 64-bit so that coordinates near the int limits cannot overflow.
    const auto range = [](long long pos1, long long size1, long long pos2, long long size2, long long n) {
        const long long lo = std::max({0LL, -pos1, -pos2});
        const long long hi = std::min({n, size1 - pos1, size2 - pos2});
        return std::pair{lo, hi};
    };
    const auto [c0, c1] = range(srcX, srcW, dstX, dstW, width);
    const auto [r0, r1] = range(srcY, srcH, dstY, dstH, height);
    if (c0 >= c1 || r0 >= r1) {
        return;
    }
    const std::size_t rowBytes = static_cast<std::size_t>(c1 - c0) * sizeof(std::uint32_t);
    // A plain copy: lambdas may not capture structured bindings before clang 16.
    const long long firstColumn = c0;
    const auto dstRow = [&](long long r) { return dst + (dstY + r) * dstStride + dstX + firstColumn; };
    const auto srcRow = [&](long long r) { return src + (srcY + r) * srcStride + srcX + firstColumn; };
    if (dst == src && dstY > srcY) {
        for (long long r = r1 - 1; r >= r0; --r) {
            std::memmove(dstRow(r), srcRow(r), rowBytes);
        }
    } else {
        for (long long r = r0; r < r1; ++r) {
            std::memmove(dstRow(r), srcRow(r), rowBytes);
        }
    }
}

void DrawContext::touch(long long left, long long top, long long right, long long bottom) {
    const Picture& p = *target_;
    const int l = static_cast<int>(std::clamp<long long>(left, 0, p.width()));
    const int t = static_cast<int>(std::clamp<long long>(top, 0, p.height()));
    const int r = static_cast<int>(std::clamp<long long>(right, 0, p.width()));
    const int b = static_cast<int>(std::clamp<long long>(bottom, 0, p.height()));
    if (l >= r || t >= b) {
        return;
    }
    if (drawnLeft_ >= drawnRight_) {
        drawnLeft_ = l, drawnTop_ = t, drawnRight_ = r, drawnBottom_ = b;
        return;
    }
    drawnLeft_ = std::min(drawnLeft_, l);
    drawnTop_ = std::min(drawnTop_, t);
    drawnRight_ = std::max(drawnRight_, r);
    drawnBottom_ = std::max(drawnBottom_, b);
}

bool DrawContext::drawnArea(int& left, int& top, int& right, int& bottom) const {
    if (drawnLeft_ >= drawnRight_) {
        return false;
    }
    left = drawnLeft_, top = drawnTop_, right = drawnRight_, bottom = drawnBottom_;
    return true;
}

void DrawContext::setPixel(int x, int y, Colour colour) {
    Picture& p = *target_;
    if (x < 0 || y < 0 || x >= p.width() || y >= p.height()) {
        return;
    }
    touch(x, y, x + 1LL, y + 1LL);
    p.pixels()[static_cast<std::ptrdiff_t>(y) * p.stride() + x] = storedPixel(colour);
}

void DrawContext::moveTo(int x, int y) {
    curX_ = x;
    curY_ = y;
}

void DrawContext::lineTo(int x, int y) {
    const long long x0 = curX_;
    const long long y0 = curY_;
    touch(std::min<long long>(x0, x), std::min<long long>(y0, y), std::max<long long>(x0, x) + 1,
          std::max<long long>(y0, y) + 1);
    curX_ = x;
    curY_ = y;
    const long long dx = x - x0;
    const long long dy = y - y0;
    const long long adx = dx < 0 ? -dx : dx;
    const long long ady = dy < 0 ? -dy : dy;
    const bool xMajor = adx >= ady;
    const long long steps = xMajor ? adx : ady; // pixels lit: the end point is excluded
    if (steps == 0) {
        return;
    }
    Picture& p = *target_;
    const long long w = p.width();
    const long long h = p.height();
    // Step i moves the major coordinate by one; the minor coordinate is the
    // exact one rounded to nearest, with a tie going to the smaller
    // coordinate (the pixel above, or to the left) whatever the direction,
    // so a line and its reverse light the same pixels apart from the ends.
    const long long majorStart = xMajor ? x0 : y0;
    const long long minorStart = xMajor ? y0 : x0;
    const long long majorStep = (xMajor ? dx : dy) < 0 ? -1 : 1;
    const long long minorDelta = xMajor ? dy : dx;
    const long long majorSize = xMajor ? w : h;
    const long long minorSize = xMajor ? h : w;
    // Only the steps whose major coordinate lies in the picture: a line of
    // any length costs at most one pass across it.
    long long first = 0;
    long long last = steps; // exclusive
    if (majorStep > 0) {
        first = std::max(first, -majorStart);
        last = std::min(last, majorSize - majorStart);
    } else {
        first = std::max(first, majorStart - majorSize + 1);
        last = std::min(last, majorStart + 1);
    }
    // 2 · minorDelta · i reaches 2^66 for lines across the whole int range.
    const auto ceilDiv = [](Wide a, Wide b) { // b > 0
        return static_cast<long long>(a >= 0 ? (a + b - 1) / b : -((-a) / b));
    };
    std::uint32_t* px = p.pixels();
    const long long stride = p.stride();
    const std::uint32_t value = storedPixel(pen_.colour);
    for (long long i = first; i < last; ++i) {
        const long long major = majorStart + majorStep * i;
        // round-half-down(minorDelta * i / steps) = ceil((2 minorDelta i − steps) / (2 steps))
        const long long minor = minorStart + ceilDiv(Wide{2} * minorDelta * i - steps, Wide{2} * steps);
        if (minor < 0 || minor >= minorSize) {
            continue;
        }
        const long long px_x = xMajor ? major : minor;
        const long long px_y = xMajor ? minor : major;
        px[px_y * stride + px_x] = value;
    }
}

void DrawContext::fillRect(int left, int top, int right, int bottom, Colour colour) {
    touch(left, top, right, bottom);
    Picture& p = *target_;
    const int l = std::clamp(left, 0, p.width());
    const int r = std::clamp(right, 0, p.width());
    const int t = std::clamp(top, 0, p.height());
    const int b = std::clamp(bottom, 0, p.height());
    if (l >= r || t >= b) {
        return;
    }
    const std::uint32_t value = storedPixel(colour);
    for (int y = t; y < b; ++y) {
        std::uint32_t* row = p.pixels() + static_cast<std::ptrdiff_t>(y) * p.stride();
        std::fill(row + l, row + r, value);
    }
}

void DrawContext::blit(int dstX, int dstY, int width, int height, const Picture& source, int srcX, int srcY) {
    touch(dstX, dstY, static_cast<long long>(dstX) + width, static_cast<long long>(dstY) + height);
    Picture& p = *target_;
    // The source is read through the same buffer when it is our own picture.
    const std::uint32_t* src = &source == target_ ? p.pixels() : source.pixels();
    copyBlock(p.pixels(), p.stride(), p.width(), p.height(), dstX, dstY, src, source.stride(), source.width(),
              source.height(), srcX, srcY, width, height);
}

} // namespace platform
