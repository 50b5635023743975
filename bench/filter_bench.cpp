// One 160-sample block (20 ms of audio) through the band filter, against
// liquid-dsp's firfilt_rrrf with the same coefficients pushed the same way.

#include <benchmark/benchmark.h>
#include <liquid/liquid.h>

#include <cmath>
#include <memory>
#include <vector>

#include "dsp/audio_constants.h"
#include "dsp/band_filter.h"

namespace {

std::vector<float> testBlock() {
    std::vector<float> x(dsp::blockSamples);
    for (int t = 0; t < dsp::blockSamples; ++t) {
        x[static_cast<std::size_t>(t)] =
            static_cast<float>(0.5 * std::sin(2.0 * M_PI * 0.105 * t) + 0.01 * std::cos(0.7 * t));
    }
    return x;
}

void stationFilter(benchmark::State& state, dsp::FirDotKernel kernel) {
    const int taps = static_cast<int>(state.range(0));
    auto filter = std::make_unique<dsp::FirBandFilter>();
    filter->setDotKernel(kernel);
    dsp::designBandFilter(*filter, taps, 1, 0.1f, 0.11f);
    const auto x = testBlock();
    float y = 0.0f;
    for (auto _ : state) {
        for (float v : x) {
            dsp::pushSample(*filter, v, y);
            benchmark::DoNotOptimize(y);
        }
    }
    state.SetItemsProcessed(state.iterations() * dsp::blockSamples);
}

void BM_PushSampleBlock(benchmark::State& state) { stationFilter(state, dsp::firDotForThisCpu()); }

void BM_PushSampleBlockPortable(benchmark::State& state) { stationFilter(state, dsp::firDotPortable); }

void BM_LiquidFirfiltBlock(benchmark::State& state) {
    const int taps = static_cast<int>(state.range(0));
    std::vector<float> c(static_cast<std::size_t>(taps));
    dsp::windowedSincBandPass(c.data(), taps, 0.1f, 0.11f);
    firfilt_rrrf q = firfilt_rrrf_create(c.data(), static_cast<unsigned int>(taps));
    const auto x = testBlock();
    float y = 0.0f;
    for (auto _ : state) {
        for (float v : x) {
            firfilt_rrrf_push(q, v);
            firfilt_rrrf_execute(q, &y);
            benchmark::DoNotOptimize(y);
        }
    }
    firfilt_rrrf_destroy(q);
    state.SetItemsProcessed(state.iterations() * dsp::blockSamples);
}

} // namespace

BENCHMARK(BM_PushSampleBlock)->Arg(32)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PushSampleBlockPortable)->Arg(32)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LiquidFirfiltBlock)
    ->Name("BM_liquid_firfilt_rrrf_Block")
    ->Arg(32)
    ->Arg(256)
    ->Arg(1024)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
