// The keying detector's cost per 160-sample block (20 ms of audio) at band
// centres down to the lowest one a band control can reach: 2 Hz, a period
// of 4000 samples (1 Hz gives 8000, more than the history holds, and no
// correlation). Real time is 20 ms per block; "x real time" in the output is
// how many blocks fit in 20 ms of one core. A second case changes the band
// every block, the worst a stream of band commands can do.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/audio_constants.h"
#include "dsp/band_filter.h"
#include "station/audio/block_processing.h"
#include "station/shell/station_settings.h"

namespace {

constexpr double blockSeconds = 0.020;

struct Bench {
    station::StationSettings settings;
    std::unique_ptr<dsp::FirBandFilter> filter = std::make_unique<dsp::FirBandFilter>();
    std::unique_ptr<station::BlockProcessor> state = std::make_unique<station::BlockProcessor>();
    station::BlockSink sink;
    std::vector<std::int16_t> block = std::vector<std::int16_t>(dsp::blockSamples);
    int t = 0;

    Bench() {
        settings.config.udpSend = true;
        settings.live.filterLength = 32; // the filter's own cost is filter_bench's
        station::designStationFilter(settings, *filter);
    }
    // A band under 1 Hz wide whose reported centre is `centreHz`.
    void setCentre(int centreHz) {
        settings.live.bandLow = static_cast<float>((centreHz + 0.25) / 8000.0);
        settings.live.bandHigh = static_cast<float>((centreHz + 0.75) / 8000.0);
        settings.designedBand.publish({settings.live.bandLow, settings.live.bandHigh, settings.live.filterLength});
    }
    void runBlock() {
        for (auto& v : block) {
            v = static_cast<std::int16_t>(8000 * std::sin(0.6 * t++));
        }
        station::processBlock(*state, settings, *filter, block.data(), dsp::blockSamples * 2, sink);
    }
};

void report(benchmark::State& state, const Bench& b) {
    state.counters["period"] = b.state->periodCount;
    state.counters["x real time"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * blockSeconds, benchmark::Counter::kIsRate);
}

void steadyBand(benchmark::State& state) {
    Bench b;
    b.setCentre(static_cast<int>(state.range(0)));
    b.runBlock(); // sums set up for this period
    for (auto _ : state) {
        b.runBlock();
    }
    report(state, b);
}
BENCHMARK(steadyBand)->Arg(839)->Arg(30)->Arg(3)->Arg(2)->Unit(benchmark::kMicrosecond);

// Every block another period at the lowest centres (2 and 3 Hz): each block
// sets its sums up from scratch once.
void bandChangeEveryBlock(benchmark::State& state) {
    Bench b;
    bool low = false;
    for (auto _ : state) {
        b.setCentre(low ? 2 : 3);
        low = !low;
        b.runBlock();
    }
    report(state, b);
}
BENCHMARK(bandChangeEveryBlock)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
