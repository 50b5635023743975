#pragma once
// PNG output of a picture (window snapshots, test artefacts).

#include <string>

namespace platform {

class Picture;

// Writes `picture` as an 8-bit RGB PNG file at `path` (UTF-8 file name).
// False when the file cannot be written or the picture is empty.
bool savePng(const Picture& picture, const std::string& path);

} // namespace platform
