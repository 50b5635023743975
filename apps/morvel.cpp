// morvel, the CW decoder: starts the filter station in its local mode and
// turns its keying levels into text.

#include "apps/program_info.h"
#include "decoder/decoder_program.h"
#include "platform/platform.h"

namespace {

constexpr const char* usage =
    "usage: morvel\n"
    "The CW decoder: starts the filter station \"selvane UDPSEND\" and turns its keying into\n"
    "Latin, Russian or Ukrainian text, in its window and on standard output.\n"
    "Headless, when the station stops by itself, morvel ends with the station's exit code.\n"
    "  --help, --version  this text, or the version\n";

} // namespace

int main(int argc, char** argv) {
    if (apps::answerInfoOption(argc, argv, "morvel", usage)) {
        return 0;
    }
    platform::Platform platform(argc, argv);
    return decoder::runDecoder(platform);
}
