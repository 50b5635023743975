#include "station/net/gsm_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

namespace station {
namespace {

using Samples = std::vector<std::int16_t>;
using Frames = std::vector<std::uint8_t>;

Samples tone(double hz, int blocks) {
    Samples s(std::size_t(blocks * gsmBlockSamples));
    for (std::size_t i = 0; i < s.size(); ++i) {
        s[i] = std::int16_t(10000 * std::sin(2 * std::numbers::pi * hz * double(i) / 8000));
    }
    return s;
}
Frames encode(GsmCodecPair& codec, const Samples& s) {
    Frames f(s.size() / gsmBlockSamples * gsmFrameBytes);
    encodeBlocks(codec, s.data(), f.data(), int(s.size() / gsmBlockSamples));
    return f;
}
Samples decode(GsmCodecPair& codec, const Frames& f) {
    Samples s(f.size() / gsmFrameBytes * gsmBlockSamples, 0x5555);
    decodeFrames(codec, f.data(), s.data(), int(f.size() / gsmFrameBytes));
    return s;
}

// Correlation of a and b from sample `from` on, best over lags 0 … 2 (less
// than a quarter period of the tones used, so the phase must be right).
double correlation(const Samples& a, const Samples& b, std::size_t from) {
    double best = -1;
    for (std::size_t lag = 0; lag <= 2; ++lag) {
        double ab = 0, aa = 0, bb = 0;
        for (std::size_t i = from; i + lag < a.size(); ++i) {
            ab += double(a[i]) * b[i + lag], aa += double(a[i]) * a[i], bb += double(b[i + lag]) * b[i + lag];
        }
        best = std::max(best, aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : -1);
    }
    return best;
}

// Frequency on a 10 Hz grid with the largest DFT power, and RMS level.
double dominantHz(const Samples& s, std::size_t from) {
    double bestHz = 0, bestPower = -1;
    for (double hz = 100; hz < 3900; hz += 10) {
        double re = 0, im = 0;
        for (std::size_t i = from; i < s.size(); ++i) {
            re += s[i] * std::cos(2 * std::numbers::pi * hz * double(i) / 8000);
            im += s[i] * std::sin(2 * std::numbers::pi * hz * double(i) / 8000);
        }
        if (re * re + im * im > bestPower) {
            bestPower = re * re + im * im, bestHz = hz;
        }
    }
    return bestHz;
}
double rms(const Samples& s, std::size_t from) {
    double sum = 0;
    for (std::size_t i = from; i < s.size(); ++i) {
        sum += double(s[i]) * s[i];
    }
    return std::sqrt(sum / double(s.size() - from));
}

TEST(GsmCodec, ToneSurvivesTheRoundTrip) {
    GsmCodecPair codec;
    ASSERT_TRUE(codec.valid());
    const Samples input = tone(800, 10);
    const Frames frames = encode(codec, input);
    for (std::size_t i = 0; i < frames.size(); i += gsmFrameBytes) {
        EXPECT_EQ(0xD, frames[i] >> 4) << "frame at byte " << i;
    }
    const Samples output = decode(codec, frames);
    const std::size_t from = 2 * gsmBlockSamples; // after the codec's warm-up
    EXPECT_GT(correlation(input, output, from), 0.95);
    EXPECT_NEAR(800.0, dominantHz(output, from), 10.0);
    EXPECT_NEAR(rms(input, from), rms(output, from), 0.2 * rms(input, from));
}

TEST(GsmCodec, RejectedUnitDecodesToSilence) {
    GsmCodecPair codec;
    Frames units(2 * gsmFrameBytes, 0);
    units[0] = 'T'; // a control packet's first byte; the second unit is all zero
    EXPECT_EQ(Samples(2 * gsmBlockSamples, 0), decode(codec, units));
}

// One call of N blocks equals N calls of one block, and a fresh state gives
// something else: the histories run on from call to call.
TEST(GsmCodec, StatesCarryTheirHistoryAcrossCalls) {
    const Samples input = tone(613, 6);
    GsmCodecPair whole, piecewise, fresh;
    const Frames frames = encode(whole, input);
    Frames framesPiecewise;
    Samples outPiecewise;
    for (std::size_t i = 0; i < 6; ++i) {
        const Samples block(input.begin() + long(i * gsmBlockSamples), input.begin() + long((i + 1) * gsmBlockSamples));
        const Frames frame = encode(piecewise, block);
        framesPiecewise.insert(framesPiecewise.end(), frame.begin(), frame.end());
        const Samples out = decode(piecewise, frame);
        outPiecewise.insert(outPiecewise.end(), out.begin(), out.end());
    }
    EXPECT_EQ(frames, framesPiecewise);
    const Samples out = decode(whole, frames);
    EXPECT_EQ(out, outPiecewise);

    const Samples firstBlock(input.begin(), input.begin() + gsmBlockSamples);
    EXPECT_NE(encode(whole, firstBlock), encode(whole, firstBlock)) << "same block twice in a row";
    const Frames lastFrame(frames.end() - gsmFrameBytes, frames.end());
    EXPECT_NE(decode(fresh, lastFrame), Samples(out.end() - gsmBlockSamples, out.end()));
}

// Encoder (processing thread) and decoder (window thread) run at once
// without a lock.
TEST(GsmCodec, EncoderAndDecoderRunOnTwoThreads) {
    const Samples input = tone(700, 50);
    GsmCodecPair reference, codec;
    const Frames expected = encode(reference, input);
    Frames frames;
    Samples decoded;
    std::thread encoder([&] { frames = encode(codec, input); });
    std::thread decoder([&] { decoded = decode(codec, expected); });
    encoder.join();
    decoder.join();
    EXPECT_EQ(expected, frames);
    EXPECT_GT(correlation(input, decoded, 2 * gsmBlockSamples), 0.9);
}

} // namespace
} // namespace station
