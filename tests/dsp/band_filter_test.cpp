#include "dsp/band_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace dsp {
namespace {

std::vector<float> design(int taps, float low, float high) {
    std::vector<float> c(static_cast<std::size_t>(taps));
    windowedSincBandPass(c.data(), taps, low, high);
    return c;
}

double gainAt(const std::vector<float>& c, double f) { // |H(f)|, f in cycles per sample
    std::complex<double> sum = 0.0;
    for (std::size_t i = 0; i < c.size(); ++i) {
        sum += static_cast<double>(c[i]) * std::polar(1.0, -2.0 * M_PI * f * static_cast<double>(i));
    }
    return std::abs(sum);
}

// Bound on a float-lane dot product against the exact sum, given Σ|terms|.
double laneTolerance(double absSum, double exact) { return 4e-7 * absSum + 1.2e-7 * std::fabs(exact) + 1e-12; }

std::vector<float> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v)
        x = dist(rng);
    return v;
}

TEST(WindowedSincBandPass, WorkedCoefficientsAndGains) {
    const auto c = design(256, 0.1f, 0.11f);
    EXPECT_NEAR(c[0], 0.000231, 5e-7);
    EXPECT_NEAR(c[255], 0.000231, 5e-7);
    EXPECT_NEAR(c[127], 0.01892, 5e-6);
    EXPECT_NEAR(c[128], 0.01892, 5e-6);
    // Gain at 840 Hz, the centre of the default band: short filters lose most of it.
    for (auto [taps, gain] : {std::pair{256, 0.94}, {64, 0.33}, {32, 0.17}}) {
        const double got = gainAt(design(taps, 0.1f, 0.11f), 0.105);
        EXPECT_NEAR(got, gain, 0.005) << taps << " taps: expected " << gain << ", got " << got;
    }
}

// Response on a 20000-point grid over 0 … 0.5: pass band inside a ripple
// band, stop band (past a transition width from each edge) below a level.
// Measured: 64 taps 0.9993 … 1.0017 and −51.4 dB; 1024 taps 0.9978 … 1.0023 and −52.6 dB.
TEST(WindowedSincBandPass, SpectralMask) {
    struct Mask {
        int taps;
        float low, high;
        double transition, passMin, passMax, stopDb;
    };
    for (const Mask m :
         {Mask{64, 0.1f, 0.2f, 0.03, 0.995, 1.005, -50.0}, Mask{1024, 0.1f, 0.11f, 0.002, 0.995, 1.005, -50.0}}) {
        const auto c = design(m.taps, m.low, m.high);
        double passLo = 1e9, passHi = 0.0, stopPeak = 0.0;
        for (int k = 0; k <= 20000; ++k) {
            const double f = 0.5 * k / 20000.0, g = gainAt(c, f);
            if (f >= m.low + m.transition && f <= m.high - m.transition) {
                passLo = std::min(passLo, g);
                passHi = std::max(passHi, g);
            } else if (f <= m.low - m.transition || f >= m.high + m.transition) {
                stopPeak = std::max(stopPeak, g);
            }
        }
        EXPECT_GE(passLo, m.passMin) << m.taps << " taps: pass band dips to " << passLo;
        EXPECT_LE(passHi, m.passMax) << m.taps << " taps: pass band peaks at " << passHi;
        EXPECT_LE(20.0 * std::log10(stopPeak), m.stopDb)
            << m.taps << " taps: stop band reaches " << 20.0 * std::log10(stopPeak) << " dB";
    }
}

// Output t is Σ c[j]·x[t − N + j] over the N inputs before x[t] (zeros before
// the first): checked against a plain convolution over several history wraps.
TEST(FirBandFilter, StreamsLikeConvolutionAcrossHistoryWraps) {
    for (int taps : {32, 256, 1024}) {
        auto filter = std::make_unique<FirBandFilter>();
        ASSERT_TRUE(designBandFilter(*filter, taps, 1, 0.1f, 0.11f));
        const auto c = design(taps, 0.1f, 0.11f);
        const auto x = noise(5000, static_cast<unsigned>(taps));
        for (std::size_t t = 0; t < x.size(); ++t) {
            double expected = 0.0, absSum = 0.0;
            for (int j = 0; j < taps; ++j) {
                const long i = static_cast<long>(t) - taps + j;
                const double p =
                    i < 0 ? 0.0 : static_cast<double>(c[static_cast<std::size_t>(j)]) * x[static_cast<std::size_t>(i)];
                expected += p;
                absSum += std::fabs(p);
            }
            float out = 12345.0f;
            ASSERT_TRUE(pushSample(*filter, x[t], out));
            ASSERT_NEAR(out, expected, laneTolerance(absSum, expected)) << taps << " taps, output " << t;
        }
    }
}

// A redesign keeps the history: the first output afterwards is taken over
// history[0 … N−1] as it stands, and new inputs land from slot N on.
TEST(FirBandFilter, RedesignRestartsWindowOverKeptHistory) {
    auto filter = std::make_unique<FirBandFilter>();
    ASSERT_TRUE(designBandFilter(*filter, 256, 1, 0.1f, 0.11f));
    float out = 0.0f;
    for (float v : noise(3000, 1))
        pushSample(*filter, v, out); // past a wrap copy
    ASSERT_TRUE(designBandFilter(*filter, 1024, 1, 0.2f, 0.25f));
    EXPECT_EQ(filter->tapCount(), 256) << "taken up only at the next push";

    std::vector<float> stream(filter->history(), filter->history() + 1024);
    const auto inputs = noise(1500, 2);
    stream.insert(stream.end(), inputs.begin(), inputs.end());
    const auto c = design(1024, 0.2f, 0.25f);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
        ASSERT_TRUE(pushSample(*filter, inputs[k], out));
        double expected = 0.0, absSum = 0.0;
        for (std::size_t j = 0; j < 1024; ++j) {
            expected += static_cast<double>(c[j]) * stream[k + j];
            absSum += std::fabs(static_cast<double>(c[j]) * stream[k + j]);
        }
        ASSERT_NEAR(out, expected, laneTolerance(absSum, expected)) << "output " << k << " after the redesign";
    }
    // Tap counts or decimations the history cannot serve are refused.
    for (auto [taps, decimation] : {std::pair{1025, 1}, {-32, 1}, {64, 0}}) {
        EXPECT_FALSE(designBandFilter(*filter, taps, decimation, 0.1f, 0.2f))
            << taps << " taps, decimation " << decimation;
    }
    EXPECT_EQ(filter->designedTapCount(), 1024);
}

// Summing in float lanes instead of one double: both kernels stay within a
// tight bound of the exact sum, tails included.
TEST(FirDotKernel, StaysCloseToExactSum) {
    const auto h = noise(1024, 11), c = noise(1024, 12);
    for (FirDotKernel kernel : {firDotPortable, firDotForThisCpu()}) {
        for (int n : {0, 1, 31, 37, 256, 1000, 1024}) {
            long double exact = 0.0L, absSum = 0.0L;
            for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
                exact += static_cast<long double>(h[i]) * c[i];
                absSum += std::fabs(static_cast<long double>(h[i]) * c[i]);
            }
            EXPECT_NEAR(kernel(h.data(), c.data(), n), static_cast<double>(exact),
                        laneTolerance(static_cast<double>(absSum), static_cast<double>(exact)))
                << "n = " << n << (kernel == firDotPortable ? " (portable)" : " (this cpu)");
        }
    }
}

// One thread redesigns continuously while this one pushes ones. With the
// history all ones every output is the coefficient sum of one whole set; a
// torn set, or one taken up without its window reset, shows as a stray value
// (or as an out-of-bounds read under the sanitizers).
TEST(FirBandFilter, RedesignWhilePushingYieldsOnlyWholeSets) {
    const std::pair<int, float> designs[] = {{64, 0.05f}, {256, 0.1f}, {1024, 0.2f}, {128, 0.3f}};
    const FirDotKernel kernel = firDotForThisCpu();
    const std::vector<float> ones(maxTapCount, 1.0f);
    std::vector<float> sums;
    for (auto [taps, high] : designs)
        sums.push_back(static_cast<float>(kernel(ones.data(), design(taps, 0.0f, high).data(), taps)));

    auto filter = std::make_unique<FirBandFilter>();
    filter->setDotKernel(kernel);
    designBandFilter(*filter, 1024, 1, 0.0f, 0.2f);
    float out = 0.0f;
    for (int t = 0; t < 2 * filterHistoryLength; ++t)
        pushSample(*filter, 1.0f, out);

    std::atomic<bool> stop{false};
    std::atomic<int> designed{0};
    std::thread designer([&] {
        for (int k = 0; !stop.load(); ++k, designed.fetch_add(1))
            designBandFilter(*filter, designs[k % 4].first, 1, 0.0f, designs[k % 4].second);
    });
    std::vector<long> seen(sums.size(), 0);
    long pushes = 0, stray = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto allSeen = [&] { return std::all_of(seen.begin(), seen.end(), [](long n) { return n > 0; }); };
    while ((pushes < 200000 || !allSeen() || designed.load() < 200) && std::chrono::steady_clock::now() < deadline) {
        ++pushes;
        const bool due = pushSample(*filter, 1.0f, out);
        const auto it = std::find(sums.begin(), sums.end(), out);
        if (!due || it == sums.end())
            ++stray;
        else
            ++seen[static_cast<std::size_t>(it - sums.begin())];
    }
    stop = true;
    designer.join();
    EXPECT_EQ(stray, 0) << "outputs that belong to no design, last " << out;
    EXPECT_TRUE(allSeen()) << "not every design was taken up within the time bound";
}

} // namespace
} // namespace dsp
