// make_icons: writes the programs' desktop icons, made from the station's
// own tray icons, as a hicolor theme tree:
//   OUT/hicolor/<n>x<n>/apps/selvane.png   the sending microphone
//   OUT/hicolor/<n>x<n>/apps/morvel.png    the receiving loudspeaker
// for each size given (pixels, 1 … 1024). A build tool; not installed.
//
//   make_icons OUT SIZE...

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/png.h"
#include "station/resources/station_resources.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: make_icons OUT SIZE...\n", stderr);
        return 2;
    }
    struct Icon {
        const char* name;
        const char* const* xpm;
    };
    const Icon icons[] = {{"selvane", station::sendIconXpm}, {"morvel", station::recvIconXpm}};
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        const std::string side = std::to_string(size);
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / "hicolor" / (side + "x" + side) / "apps";
        std::error_code error;
        std::filesystem::create_directories(dir, error);
        for (const Icon& icon : icons) {
            const std::string path = (dir / (std::string(icon.name) + ".png")).string();
            if (!platform::saveXpmAsPng(icon.xpm, size, path)) {
                std::fprintf(stderr, "make_icons: cannot write %s\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
