// morvel, the CW decoder: starts the filter station in its local mode and
// turns its keying levels (or, with --decoder=weak, its filtered audio) into
// text.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "apps/program_info.h"
#include "decoder/decoder_program.h"
#include "platform/platform.h"

namespace {

constexpr const char* usage =
    "usage: morvel [--decoder=classic|weak]\n"
    "The CW decoder: starts the filter station \"selvane UDPSEND\" and turns its keying into\n"
    "Latin, Russian or Ukrainian text, in its window and on standard output.\n"
    "  --decoder=classic  the station's keying level through the classic decoder (default)\n"
    "  --decoder=weak     the station's filtered audio through the weak-signal decoder;\n"
    "                     F2 switches between the two while morvel runs\n"
    "  --help, --version  this text, or the version\n"
    "Headless, when the station stops by itself, morvel ends with the station's exit code.\n";

} // namespace

int main(int argc, char** argv) {
    if (apps::answerInfoOption(argc, argv, "morvel", usage)) {
        return 0;
    }
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    decoder::DecoderKind initial = decoder::DecoderKind::Classic;
    if (std::string error; !decoder::parseDecoderArguments(args, initial, error)) {
        std::fprintf(stderr, "morvel: %s\n", error.c_str());
        return 2;
    }
    platform::Platform platform(argc, argv, platform::readEnvironment(std::getenv));
    // The station is looked for along PATH, after the current directory and
    // morvel's own.
    const char* searchPath = std::getenv("PATH");
    return decoder::runDecoder(platform, initial, searchPath != nullptr ? searchPath : "");
}
