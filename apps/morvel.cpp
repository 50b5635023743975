// morvel, the CW decoder: starts the filter station in its local mode and
// turns its keying levels into text.

#include "decoder/decoder_program.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    platform::Platform platform(argc, argv);
    decoder::runDecoder(platform);
    // Every path ends with code 0, as the station expects of its starter.
    return 0;
}
