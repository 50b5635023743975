#pragma once
// PNG output of a picture (window snapshots, test artefacts).

#include <string>

namespace platform {

class Picture;

// Writes `picture` as an 8-bit RGB PNG file at `path` (UTF-8 file name).
// False when the file cannot be written or the picture is empty.
bool savePng(const Picture& picture, const std::string& path);

// Writes an XPM image (the form the station's icons are kept in) as an RGBA
// PNG of `sizePx` × `sizePx` pixels (1 … 1024) at `path`. A whole multiple
// of the image's size repeats its pixels, so pixel art stays sharp; other
// sizes are smoothed. False for a malformed image or an unwritable file.
bool saveXpmAsPng(const char* const* xpm, int sizePx, const std::string& path);

} // namespace platform
