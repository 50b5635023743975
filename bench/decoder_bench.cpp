// One SampleDatagram's handling in the decoder: header, strip, threshold
// marks, status line and the element timer over 160 keying levels, with the
// characters they close painted and appended.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "decoder/decoder_app.h"
#include "dsp/cw_generator.h"
#include "platform/gdi.h"
#include "platform/platform.h"

namespace {

struct NoControl final : decoder::ControlSink {
    void send(const locallink::ControlDatagram&) override {}
};
struct NoText final : decoder::TextSink {
    std::size_t bytes = 0;
    void append(unsigned char) override { ++bytes; }
};

void BM_SampleDatagram(benchmark::State& state) {
    int argc = 1;
    char name[] = "bench";
    char* argv[] = {name, nullptr};
    platform::Platform platform(argc, argv);
    NoControl control;
    NoText text;
    decoder::DecoderApp app(control, text);
    platform::Picture window(900, 600, decoder::white);
    platform::DrawContext windowContext(window);

    // Keyed text at 20 WPM, cut into datagrams, replayed in a loop.
    const auto envelope = dsp::keyingFromText("CQ CQ DE R3ABC R3ABC K", {.wpm = 20, .trailingSilenceMs = 500});
    const auto levels = dsp::keyingLevelsFrom(*envelope, {.markLevel = 200, .noiseRms = 10});
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (std::size_t i = 0; i + 160 <= levels.size(); i += 160) {
        locallink::SampleDatagram d;
        d.blockBytes = 320;
        d.filterTaps = 256;
        d.bandwidthHz = 79;
        d.centreHz = 839;
        std::memcpy(d.keyingLevel, levels.data() + i, sizeof d.keyingLevel);
        std::vector<std::uint8_t> bytes(sizeof d);
        std::memcpy(bytes.data(), &d, sizeof d);
        datagrams.push_back(std::move(bytes));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        app.acceptDatagram(datagrams[next]);
        app.drawAndDecode(windowContext);
        next = (next + 1) % datagrams.size();
    }
    state.counters["chars"] = static_cast<double>(text.bytes);
    state.SetItemsProcessed(state.iterations() * 160);
}
BENCHMARK(BM_SampleDatagram)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
