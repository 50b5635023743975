// Steady play on a real sound path: the station's audio path (capture, the
// processing thread with the band filter, playback) on a private PulseAudio
// through PortAudio and ALSA's pulse plug-in, with a tone playing into the
// receiver sink for SECONDS (default 60). Prints what the cards lost:
// playback gaps, output underflows and input overflows, as PortAudio and the
// playback ring report them, how many 20 ms blocks were played, and how
// often the machine held the process up for longer than a card buffers.
//
//   build/default/bench/sound_server_bench [SECONDS]
//
// A benchmark, not a test: the figures depend on the machine and its load.
// Needs pulseaudio and pulseaudio-utils; says so and ends when they are
// missing.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "program_harness.h"
#include "sound_server.h"

int main(int argc, char** argv) {
    using namespace harness;
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds < 1) {
        std::fprintf(stderr, "usage: sound_server_bench [SECONDS >= 1]\n");
        return 2;
    }
    if (const std::string missing = SoundServer::missingTools(); !missing.empty()) {
        std::printf("skipped: %s\n", missing.c_str());
        return 0;
    }
    const TempDir home("cw-sound-bench");
    const SoundServer server(home.path);
    if (!server.failure().empty()) {
        std::fprintf(stderr, "no sound server: %s\n", server.failure().c_str());
        return 1;
    }
    const fs::path tone = home.path / "tone.wav";
    if (!writeTones(tone, {840}, seconds + 5, 6000)) {
        std::fprintf(stderr, "cannot write %s\n", tone.c_str());
        return 1;
    }
    server.exportEnvironment();
    CardStation station(home.path);
    const auto player = server.play(tone);
    if (!station.open()) {
        std::fprintf(stderr, "the station's devices did not open\n");
        return 1;
    }
    for (int i = 0; i < 100 && station.blocksPlayed() == 0; ++i)
        station.pump(50ms); // until the receiver delivers
    station.pump(1000ms);   // the path settles
    const auto before = station.trouble();
    const std::uint64_t blocks = station.blocksPlayed();
    const auto start = Clock::now();
    StallCounter machine(CardStation::cardBufferMs);
    station.pump(std::chrono::milliseconds(seconds * 1000));
    const double elapsed = secondsSince(start);
    const auto after = station.trouble();
    std::printf("steady play on PulseAudio, %.1f s: %llu blocks of 20 ms played (%.1f per second)\n", elapsed,
                static_cast<unsigned long long>(station.blocksPlayed() - blocks),
                double(station.blocksPlayed() - blocks) / elapsed);
    std::printf(
        "  playback gaps     %llu\n  output underflows %llu\n  input overflows   %llu\n  latency trims     %llu\n",
        static_cast<unsigned long long>(after.playbackGaps - before.playbackGaps),
        static_cast<unsigned long long>(after.outputUnderflows - before.outputUnderflows),
        static_cast<unsigned long long>(after.inputOverflows - before.inputOverflows),
        static_cast<unsigned long long>(after.latencyTrims - before.latencyTrims));
    std::printf("  machine stalls    %llu (a processor held up by more than %.0f ms; at worst %.1f ms)\n",
                static_cast<unsigned long long>(machine.stalls()), CardStation::cardBufferMs, machine.worstMs());
    return 0;
}
