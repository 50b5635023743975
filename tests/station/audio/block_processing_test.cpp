#include "station/audio/block_processing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "dsp/band_filter.h"
#include "dsp/fft.h"
#include "station/shell/station_settings.h"

namespace station {
namespace {

using Samples = std::vector<std::int16_t>;

struct RecordingSink : BlockSink {
    std::vector<std::string> events;
    std::vector<std::vector<float>> spectraRe, spectraIm; // all 1024 points of each transform
    std::vector<int> lamps;
    std::vector<locallink::SampleDatagram> datagrams;

    void spectrumReady(const float* re, const float* im, int bins) override {
        events.push_back("spectrum" + std::to_string(bins));
        spectraRe.emplace_back(re, re + 1024);
        spectraIm.emplace_back(im, im + 1024);
    }
    void invalidateWindow() override { events.push_back("invalidate"); }
    void presentDisplay() override { events.push_back("present"); }
    void lampChanged(int keyDown) override { lamps.push_back(keyDown); }
    void sendDatagram(const locallink::SampleDatagram& d) override { datagrams.push_back(d); }
};

// A fresh station as start-up makes it: settings, filter, pipeline state.
struct Station {
    StationSettings settings;
    std::unique_ptr<dsp::FirBandFilter> filter = std::make_unique<dsp::FirBandFilter>();
    std::unique_ptr<BlockProcessor> state = std::make_unique<BlockProcessor>();
    RecordingSink sink;

    explicit Station(int taps, bool udp = true) {
        settings.live.filterLength = taps;
        settings.config.udpSend = udp;
        dsp::designBandFilter(*filter, taps, 1, settings.live.bandLow, settings.live.bandHigh);
    }
    // The station publishes the band with every design; the tests change
    // the band between blocks and publish it here.
    void run(Samples& block) {
        settings.designedBand.publish({settings.live.bandLow, settings.live.bandHigh, settings.live.filterLength});
        processBlock(*state, settings, *filter, block.data(), static_cast<std::int32_t>(block.size() * 2), sink);
    }
    Samples levels() const {
        const auto& d = sink.datagrams.back();
        return Samples(d.keyingLevel, d.keyingLevel + 160);
    }
};

// v = trunc(A·sin(2π·hz·t/8000)) for t = first …
Samples tone(double amplitude, int first, int count, double hz = 839.0) {
    Samples v(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        v[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>(std::trunc(amplitude * std::sin(2.0 * M_PI * hz * (first + i) / 8000.0)));
    }
    return v;
}

TEST(BandFigures, HeaderFiguresFromSinglePrecisionEdges) {
    struct Case {
        float low, high;
        int bandwidthHz, centreHz;
    };
    // The default band gives 79 / 839, not 80 / 840: 0.11f − 0.1f is 0.0099999979.
    for (const Case c : {Case{0.1f, 0.11f, 79, 839}, Case{0.0f, 0.5f, 4000, 2000}, Case{0.0f, 0.0001f, 0, 0},
                         Case{-0.01f, 0.0f, 79, -40}}) {
        const BandFigures f = bandFigures(c.low, c.high);
        EXPECT_EQ(f.bandwidthHz, c.bandwidthHz) << "[" << c.low << ", " << c.high << "]";
        EXPECT_EQ(f.centreHz, c.centreHz) << "[" << c.low << ", " << c.high << "]";
    }
}

// A steady tone at the band centre, fed as an already filtered block (filter
// off), periodCount 9 from the first block: the level starts at 0, rises for
// about 60 samples, then holds; the lamp changes only when keyDown does.
TEST(ProcessBlock, KeyingLevelOfSteadyTone) {
    struct Case {
        double amplitude;
        int levelMin, levelMax, keyDown;
    };
    for (const Case tc : {Case{0, 0, 0, 0}, Case{1000, 49, 49, 0}, Case{1265, 79, 79, 0}, Case{2000, 198, 199, 1}}) {
        Station st(32);
        Samples levels;
        for (int b = 0; b < 10; ++b) {
            auto block = tone(tc.amplitude, b * 160, 160);
            st.run(block);
            const auto l = st.levels();
            levels.insert(levels.end(), l.begin(), l.end());
        }
        EXPECT_EQ(st.state->periodCount, 9);
        EXPECT_EQ(levels[0], 0) << "A = " << tc.amplitude;
        for (std::size_t t = 64; t < levels.size(); ++t) {
            ASSERT_TRUE(levels[t] >= tc.levelMin && levels[t] <= tc.levelMax)
                << "A = " << tc.amplitude << ", sample " << t << ": expected " << tc.levelMin << " … " << tc.levelMax
                << ", got " << levels[t];
        }
        EXPECT_EQ(st.state->keyDown.load(), tc.keyDown) << "A = " << tc.amplitude;
        EXPECT_EQ(st.sink.lamps, tc.keyDown ? std::vector<int>{1} : std::vector<int>{}) << "A = " << tc.amplitude;
    }
}

// The keying level computed the plain way, every lag's sum over the whole
// window for every sample: the reference the running sums must match.
struct DirectDetector {
    std::vector<std::int16_t> history = std::vector<std::int16_t>(dsp::KeyingDetector::rectifiedLength);
    std::int32_t levels[dsp::KeyingDetector::levelLength] = {};

    std::int16_t push(std::int16_t v, int period) {
        const int p = period >= 1 && 4 * period - 2 < dsp::KeyingDetector::rectifiedLength ? period : 0;
        const int w = 3 * p;
        std::copy_backward(history.begin(), history.begin() + w, history.begin() + w + 1);
        history[0] = v < 0 ? static_cast<std::int16_t>(static_cast<std::uint16_t>(-std::int32_t{v})) : v;
        std::int64_t best = 0;
        for (int lag = 0; lag < p; ++lag) {
            std::int64_t sum = 0;
            for (int k = 0; k < w; ++k) {
                sum += std::int32_t{history[std::size_t(k)]} * std::int32_t{history[std::size_t(k + lag)]};
            }
            best = sum > 0 ? std::max(best, sum / w) : best;
        }
        std::copy_backward(levels, levels + dsp::KeyingDetector::levelLength - 1,
                           levels + dsp::KeyingDetector::levelLength);
        levels[0] = static_cast<std::int32_t>(best / 10000);
        std::int64_t total = 0;
        for (const std::int32_t l : levels)
            total += l;
        return static_cast<std::int16_t>(std::min<std::int64_t>(total / dsp::KeyingDetector::levelLength, 32767));
    }
};

// The running lag sums give the very levels of the direct sums, through
// changes of period in both directions (a shorter period leaves old entries
// above its window, which the sums must keep reading), a centre without a
// period, full-scale samples and −32768.
TEST(ProcessBlock, KeyingLevelsEqualTheDirectSumsAcrossBandChanges) {
    Station st(32);
    DirectDetector direct;
    std::uint32_t seed = 12345;
    const auto noise = [&] {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<std::int16_t>(seed >> 16);
    };
    // Centres in Hz: periods 9, 40, 7, 100, 13, none, 9, 50, 3.
    const int centres[] = {839, 200, 1100, 80, 600, 0, 839, 160, 2500};
    int t = 0;
    for (const int centre : centres) {
        const float width = centre == 0 ? 0.0001f : 0.001f; // under 2 Hz wide at 0 Hz: centre 0
        const float low = centre == 0 ? 0.0f : static_cast<float>(centre) / 8000.0f - width / 2;
        st.settings.live.bandLow = low;
        st.settings.live.bandHigh = low + width;
        const int period =
            bandFigures(low, low + width).centreHz > 0 ? 8000 / bandFigures(low, low + width).centreHz : 0;
        for (int b = 0; b < 6; ++b, t += 160) {
            Samples block = tone(b % 3 == 2 ? 32767 : 9000, t, 160, centre);
            for (std::size_t i = 0; i < block.size(); i += 7)
                block[i] = noise();
            block[5] = -32768;
            const Samples input = block;
            st.run(block);
            ASSERT_EQ(st.state->periodCount, period) << "centre " << centre;
            const Samples got = st.levels();
            for (std::size_t i = 0; i < input.size(); ++i) {
                ASSERT_EQ(got[i], direct.push(input[i], period))
                    << "centre " << centre << ", block " << b << ", sample " << i;
            }
        }
    }
}

// The filter runs unless it is off (32 taps) or the station is a command-role
// client; a filtered sample is 32000·y truncated toward zero, y being the
// filter's output for x = s/32000. The datagram reports the tap count as set.
TEST(ProcessBlock, FiltersUnlessOffOrCommandClient) {
    struct Case {
        const char* what;
        int taps, clientMode, commandMode;
        bool filtered;
    };
    const Case cases[] = {{"256 taps", 256, 0, 0, true},
                          {"client, no command role", 256, 1, 0, true},
                          {"command-role client", 256, 1, 1, false},
                          {"filter off", 32, 0, 0, false}};
    for (const Case& tc : cases) {
        Station st(tc.taps);
        st.settings.config.clientMode = tc.clientMode;
        st.settings.config.commandMode = tc.commandMode;
        auto reference = std::make_unique<dsp::FirBandFilter>();
        dsp::designBandFilter(*reference, tc.taps, 1, 0.1f, 0.11f);
        for (int b = 0; b < 4; ++b) {
            auto block = tone(8000, b * 160, 160, 830.0);
            const auto input = block;
            st.run(block);
            for (std::size_t j = 0; j < block.size(); ++j) {
                float y = 0.0f;
                dsp::pushSample(*reference, static_cast<float>(input[j] / 32000.0), y);
                ASSERT_EQ(block[j], tc.filtered ? static_cast<int>(std::trunc(32000.0 * y)) : input[j])
                    << tc.what << ": block " << b << ", sample " << j;
            }
            const auto& d = st.sink.datagrams.back();
            EXPECT_EQ(Samples(d.samples, d.samples + 160), block) << tc.what;
            EXPECT_TRUE(d.kind == 0 && d.blockBytes == 320 && d.filterTaps == tc.taps && d.bandwidthHz == 79 &&
                        d.centreHz == 839)
                << tc.what;
        }
    }
}

TEST(ProcessBlock, FilterOutputBeyondFullScaleWraps) {
    // A 64-tap low-pass at 0.03 has DC gain 1.003: full-scale DC in
    // (32767/32000 = 1.024) comes out near 32869, stored as 32869 − 65536.
    Station st(64, false);
    dsp::designBandFilter(*st.filter, 64, 1, 0.0f, 0.03f);
    Samples block(320, 32767);
    st.run(block);
    EXPECT_NEAR(block.back(), 32869 - 65536, 2);
}

TEST(ProcessBlock, SpectrumTransformEvery1024Samples) {
    Station st(256, false);
    std::vector<int> blocksWithTransform;
    for (int b = 0, t = 0; b < 14; ++b) {
        Samples block(160);
        for (auto& s : block)
            s = static_cast<std::int16_t>(t++ % 2000);
        const std::size_t before = st.sink.spectraRe.size();
        st.run(block);
        if (st.sink.spectraRe.size() != before)
            blocksWithTransform.push_back(b + 1);
    }
    // The 1024th input is the 64th sample of the 7th block; the next 1024 later, in the 13th.
    EXPECT_EQ(blocksWithTransform, (std::vector<int>{7, 13}));
    EXPECT_EQ(st.state->spectrumFill, (14 * 160) % 1024);
    EXPECT_EQ(st.sink.events, (std::vector<std::string>{"spectrum512", "invalidate", "present", "spectrum512",
                                                        "invalidate", "present"}));
    // Each transform is of 1024 consecutive unfiltered inputs with a cleared imaginary part.
    for (std::size_t k = 0; k < st.sink.spectraRe.size(); ++k) {
        std::vector<float> re(1024), im(1024, 0.0f);
        for (int t = 0; t < 1024; ++t)
            re[static_cast<std::size_t>(t)] = static_cast<float>(((static_cast<int>(k) * 1024 + t) % 2000) / 32000.0);
        dsp::fftInPlace(re.data(), im.data(), 10);
        EXPECT_EQ(st.sink.spectraRe[k], re) << "transform " << k;
        EXPECT_EQ(st.sink.spectraIm[k], im) << "transform " << k;
    }
}

// Loud rectified signals: a 32-bit correlation sum would overflow into
// garbage; the 64-bit sum reads loud and the 16-bit level saturates.
TEST(ProcessBlock, LoudSignalSaturatesLevelInsteadOfWrapping) {
    struct Case {
        const char* what;
        std::int16_t a, b;
        int level;
    };
    const Case cases[] = {{"constant -32768 (rectifies to -32768)", -32768, -32768, 32767},
                          {"alternating +-32767", 32767, -32767, 32767},
                          {"steady 9000 (27 terms pass 2^31)", 9000, 9000, 8100}};
    for (const Case& tc : cases) {
        Station st(32);
        Samples block(160);
        for (std::size_t j = 0; j < block.size(); ++j)
            block[j] = j % 2 ? tc.b : tc.a;
        st.run(block);
        EXPECT_EQ(st.levels()[159], tc.level) << tc.what;
        EXPECT_EQ(st.state->keyDown.load(), 1) << tc.what;
    }
}

// Band centres that are no usable frequency: no division by zero, no read
// past the rectified history; the correlation counts as 0.
TEST(ProcessBlock, UnusableBandCentreGivesZeroCorrelation) {
    struct Case {
        const char* what;
        float low, high;
        int periodCount;
    };
    const Case cases[] = {{"centre 0 Hz", 0.0f, 0.0001f, 0},
                          {"negative centre", -0.01f, 0.0f, 0},
                          {"centre 1 Hz: period 8000, past the history", 0.000125f, 0.00015f, 8000}};
    for (const Case& tc : cases) {
        Station st(32);
        st.settings.live.bandLow = tc.low;
        st.settings.live.bandHigh = tc.high;
        auto block = tone(20000, 0, 160, 500.0);
        st.run(block);
        EXPECT_EQ(st.state->periodCount, tc.periodCount) << tc.what;
        EXPECT_EQ(st.levels(), Samples(160, 0)) << tc.what;
    }
}

TEST(ProcessBlock, LongAndShortBlocksStayInBounds) {
    // 960 samples (a LOWSPEED buffer): the datagram carries the first 160
    // samples and levels, as a 160-sample block would.
    Station longRun(32), shortRun(32), partRun(32);
    auto longBlock = tone(2000, 0, 960), firstPart = tone(2000, 0, 160), shortBlock = tone(2000, 0, 100);
    longRun.run(longBlock);
    shortRun.run(firstPart);
    partRun.run(shortBlock);
    const auto &dl = longRun.sink.datagrams.back(), &ds = shortRun.sink.datagrams.back(),
               &dp = partRun.sink.datagrams.back();
    EXPECT_EQ(dl.blockBytes, 1920);
    EXPECT_EQ(Samples(dl.samples, dl.samples + 160), Samples(ds.samples, ds.samples + 160));
    EXPECT_EQ(longRun.levels(), shortRun.levels());
    EXPECT_EQ(longRun.state->keyDown.load(), 1);
    // 100 samples: the rest of the datagram's samples are silence.
    EXPECT_EQ(dp.blockBytes, 200);
    Samples expected = shortBlock;
    expected.resize(160, 0);
    EXPECT_EQ(Samples(dp.samples, dp.samples + 160), expected);
}

} // namespace
} // namespace station
