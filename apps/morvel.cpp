// morvel, the CW decoder: starts the filter station in its local mode and
// turns its keying levels (or, with --decoder=weak, its filtered audio) into
// text.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "decoder/decoder_program.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    decoder::DecoderKind initial = decoder::DecoderKind::Classic;
    if (std::string error; !decoder::parseDecoderArguments(args, initial, error)) {
        std::fprintf(stderr, "morvel: %s\n", error.c_str());
        return 2;
    }
    platform::Platform platform(argc, argv);
    decoder::runDecoder(platform, initial);
    // Every path after start-up ends with code 0, as the station expects of
    // its starter.
    return 0;
}
