#pragma once
// Private to platform/: block copies between 32-bit pixel buffers.

#include <cstdint>

namespace platform {

// Copies the part of a width × height block that lies inside both pictures.
// Rows go bottom-up when the destination lies below the source in the same
// buffer, so no row is overwritten before it is read; memmove covers the
// overlap within a row. Allocation-free.
void copyBlock(std::uint32_t* dst, int dstStride, int dstW, int dstH, int dstX, int dstY, const std::uint32_t* src,
               int srcStride, int srcW, int srcH, int srcX, int srcY, int width, int height);

} // namespace platform
