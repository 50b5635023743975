#include "dsp/cw_generator.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/audio_constants.h"

namespace {

using dsp::KeyingEnvelope;

std::string describe(const std::optional<dsp::KeyingEnvelope>& e) {
    if (!e) {
        return "<none>";
    }
    std::string s;
    for (const dsp::KeyingRun& r : *e) {
        s += (r.mark ? "M" : "s") + std::to_string(r.samples) + " ";
    }
    return s;
}

TEST(CwGenerator, ParisTimingAndWhatCannotBeSent) {
    EXPECT_EQ(dsp::dotSamples(12), 800);
    EXPECT_EQ(dsp::dotSamples(25), 384);
    dsp::KeyingOptions o;
    o.wpm = 20;                                         // 480-sample dots
    EXPECT_EQ(describe(dsp::keyingFromText("a  b", o)), // several spaces are one gap
              "M480 s480 M1440 s3360 M1440 s480 M480 s480 M480 s480 M480 ");
    EXPECT_EQ(describe(dsp::keyingFromText("<AR>", o)), "M480 s480 M1440 s480 M480 s480 M1440 s480 M480 ");
    // "PARIS " is the standard word of 50 dots.
    EXPECT_EQ(dsp::totalSamples(*dsp::keyingFromText("PARIS PARIS", o)), (50 + 43) * 480);
    o.leadingSilenceMs = 100;
    o.trailingSilenceMs = 250;
    EXPECT_EQ(describe(dsp::keyingFromText(" E ", o)), "s800 M480 s2000 ");

    for (const char* text : {"A~B", "<XY>", "<AR", "<A>", "\xC3\x84"}) {
        EXPECT_EQ(describe(dsp::keyingFromText(text, {})), "<none>") << text;
    }
    for (const double wpm : {0.0, 101.0, std::nan("")}) {
        EXPECT_EQ(describe(dsp::keyingFromText("E", {.wpm = wpm})), "<none>") << "wpm " << wpm;
    }
    EXPECT_EQ(describe(dsp::keyingFromText("E", {.jitter = 0.5})), "<none>");
    EXPECT_EQ(describe(dsp::keyingFromText("E", {.leadingSilenceMs = -1})), "<none>");
}

TEST(CwGenerator, JitterIsSeededAndCentredOnTheNominalLengths) {
    const std::string text(90, 'E');
    const auto a = dsp::keyingFromText(text, {.wpm = 20, .jitter = 0.15, .seed = 7});
    EXPECT_EQ(describe(a), describe(dsp::keyingFromText(text, {.wpm = 20, .jitter = 0.15, .seed = 7})));
    EXPECT_NE(describe(a), describe(dsp::keyingFromText(text, {.wpm = 20, .jitter = 0.15, .seed = 8})));
    double markSum = 0;
    for (const dsp::KeyingRun& r : *a) {
        ASSERT_GE(r.samples, 480 / 5) << "no run below a fifth of its length";
        markSum += r.mark ? r.samples : 0;
    }
    EXPECT_NEAR(markSum / 90, 480.0, 15.0); // 15 % spread over 90 dots
}

// Goertzel power of x[from, from + n) at `hz`.
double tonePower(const std::vector<std::int16_t>& x, std::size_t from, std::size_t n, double hz) {
    const double k = 2.0 * std::cos(2.0 * std::numbers::pi * hz / dsp::sampleRateHz);
    double s1 = 0, s2 = 0;
    for (std::size_t i = from; i < from + n; ++i) {
        const double s0 = x[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - k * s1 * s2;
}

TEST(CwGenerator, ToneHasItsPitchAmplitudeSoftEdgesAndSeededNoise) {
    const dsp::KeyingEnvelope env{{false, 800}, {true, 4000}, {false, 800}};
    const std::vector<std::int16_t> audio = dsp::synthesizeCw(env, {.pitchHz = 700, .amplitude = 10000});
    ASSERT_EQ(audio.size(), 5600u);
    int peak = 0;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const bool silent = i < 800 || i >= 4800;
        ASSERT_TRUE(!silent || audio[i] == 0) << "silence at " << i;
        peak = std::max(peak, std::abs(int{audio[i]}));
        // No click: no step larger than the full-amplitude tone makes.
        ASSERT_LE(std::abs(audio[i] - (i > 0 ? audio[i - 1] : 0)), 10000 * 2 * std::numbers::pi * 700 / 8000 + 2)
            << "step at " << i;
    }
    EXPECT_NEAR(peak, 10000, 10);
    EXPECT_LT(std::abs(int{audio[800]}), 100) << "the mark starts from nearly 0";
    EXPECT_GT(tonePower(audio, 1000, 3200, 700), 1000 * tonePower(audio, 1000, 3200, 800));

    const dsp::KeyingEnvelope silence{{false, 80000}};
    const auto noise = dsp::synthesizeCw(silence, {.noiseRms = 1000, .seed = 3});
    EXPECT_EQ(noise, dsp::synthesizeCw(silence, {.noiseRms = 1000, .seed = 3}));
    EXPECT_NE(noise, dsp::synthesizeCw(silence, {.noiseRms = 1000, .seed = 4}));
    double sumSq = 0;
    for (const std::int16_t v : noise) {
        sumSq += static_cast<double>(v) * v;
    }
    EXPECT_NEAR(std::sqrt(sumSq / noise.size()), 1000.0, 15.0);
    // Tone power A²/2 against σ² spread over 4000 Hz.
    EXPECT_NEAR(dsp::noiseRmsForSnr(1000, 0, 4000), 1000 / std::sqrt(2.0), 1e-9);
    EXPECT_NEAR(dsp::noiseRmsForSnr(1000, 20, 500), 200, 1e-9);
    // Extreme noise clamps at the 16-bit limits (wrapped values would spread).
    int clipped = 0;
    for (const std::int16_t v : dsp::synthesizeCw(silence, {.noiseRms = 1e6})) {
        clipped += v == 32767 || v == -32768 ? 1 : 0;
    }
    EXPECT_GT(clipped, 76000); // 2.6 % of the draws fall inside the range
}

TEST(CwGenerator, HandKeyingAndSpeedChangeShapeTheRuns) {
    // 20 WPM: 480-sample dots. Dash 3.5 dots, 0.25 dot of weight moved from
    // each gap to the mark before it.
    EXPECT_EQ(describe(dsp::keyingFromText("AE", {.wpm = 20, .dashDots = 3.5, .weightDots = 0.25})),
              "M600 s360 M1800 s1320 M600 ");
    // From the second character on at 40 WPM (240-sample dots), its gap too.
    EXPECT_EQ(describe(dsp::keyingFromText("EE E", {.wpm = 20, .changeWpm = 40, .changeAtCharacter = 1})),
              "M480 s720 M240 s1680 M240 ");
    EXPECT_EQ(describe(dsp::keyingFromText("E", {.dashDots = 6})), "<none>");
    EXPECT_EQ(describe(dsp::keyingFromText("E", {.weightDots = 0.8})), "<none>");
}

// Power of `audio` at `hz` over [from, from + n), per sample.
double powerAt(const std::vector<std::int16_t>& audio, std::size_t from, std::size_t n, double hz) {
    return tonePower(audio, from, n, hz) / static_cast<double>(n * n);
}

// Power of each block of `block` samples over that of a steady tone of peak
// `amplitude`.
std::vector<double> relativeBlockPowers(const std::vector<std::int16_t>& audio, std::size_t block, double amplitude) {
    std::vector<double> power;
    for (std::size_t at = 0; at + block <= audio.size(); at += block) {
        double p = 0;
        for (std::size_t i = at; i < at + block; ++i) {
            p += static_cast<double>(audio[i]) * audio[i];
        }
        power.push_back(p / static_cast<double>(block) / (amplitude * amplitude / 2));
    }
    return power;
}

double meanOf(const std::vector<double>& v) {
    double sum = 0;
    for (const double x : v) {
        sum += x;
    }
    return sum / static_cast<double>(v.size());
}

TEST(CwGenerator, HardConditionsAreSeededAndDoWhatTheySay) {
    const dsp::KeyingEnvelope key{{true, 8000 * 60}}; // one minute of key down
    const dsp::ToneOptions base{.pitchHz = 700, .amplitude = 1000, .seed = 5};

    // Fading: unit mean power, deep fades, slow.
    dsp::ToneOptions o = base;
    o.fadingHz = 0.3;
    const auto faded = dsp::synthesizeCw(key, o);
    EXPECT_EQ(faded, dsp::synthesizeCw(key, o));
    const std::vector<double> blockPower = relativeBlockPowers(faded, 800, 1000);
    EXPECT_NEAR(meanOf(blockPower), 1.0, 0.35);
    EXPECT_LT(*std::min_element(blockPower.begin(), blockPower.end()), 0.05) << "a fade of 13 dB or more";

    // Drift: 60 Hz a minute moves the tone from 700 to 760 Hz.
    o = base;
    o.driftHzPerMinute = 60;
    const auto drifting = dsp::synthesizeCw(key, o);
    EXPECT_GT(powerAt(drifting, 0, 4000, 700), 100 * powerAt(drifting, 0, 4000, 760));
    EXPECT_GT(powerAt(drifting, drifting.size() - 4000, 4000, 760),
              100 * powerAt(drifting, drifting.size() - 4000, 4000, 700));

    // A second signal 100 Hz up, 6 dB down, keyed by its own envelope.
    const dsp::KeyingEnvelope other{{false, 4000}, {true, 4000}};
    o = base;
    o.interferer = &other;
    o.interfererOffsetHz = 100;
    o.interfererLevelDb = -6;
    const auto qrm = dsp::synthesizeCw(key, o);
    EXPECT_LT(powerAt(qrm, 0, 4000, 800), 1e-3 * powerAt(qrm, 0, 4000, 700)) << "key up before";
    EXPECT_NEAR(10 * std::log10(powerAt(qrm, 4000, 4000, 800) / powerAt(qrm, 4000, 4000, 700)), -6.0, 0.5);
    EXPECT_LT(powerAt(qrm, 10000, 4000, 800), 1e-3 * powerAt(qrm, 10000, 4000, 700)) << "padded with key up";

    // Impulses: about 5 a second, each a short burst of the given peak.
    const dsp::KeyingEnvelope silence{{false, 8000 * 20}};
    o = base;
    o.impulsesPerSecond = 5;
    o.impulseAmplitude = 20000;
    const auto clicks = dsp::synthesizeCw(silence, o);
    int starts = 0;
    for (std::size_t i = 1; i < clicks.size(); ++i) {
        starts += std::abs(clicks[i]) > 15000 && std::abs(clicks[i - 1]) < 15000 ? 1 : 0;
    }
    EXPECT_NEAR(starts, 100, 30);
    EXPECT_EQ(clicks, dsp::synthesizeCw(silence, o));
}

// Fading spectra: the correlation of the tone's power at a lag is the
// squared magnitude of the fading's own correlation: 1 − (2πστ)² near 0 for
// the smooth Gaussian spectrum, e^(−4π·f·τ) for the one-pole.
TEST(CwGenerator, FadingSpectrumSetsHowFastThePowerDecorrelates) {
    using Spectrum = dsp::ToneOptions::FadingSpectrum;
    struct Case {
        Spectrum spectrum;
        double lagSeconds;
        double correlation;
        double tolerance;
    };
    const double sigmaSeconds = 1.0 / (2.0 * std::numbers::pi * 0.5); // 1 Hz spread: σ = 0.5 Hz
    const Case cases[] = {
        {Spectrum::Gaussian, 0.01, 0.999, 0.008},
        {Spectrum::Gaussian, sigmaSeconds, std::exp(-1.0), 0.15},
        {Spectrum::Gaussian, 3.0 * sigmaSeconds, 0.0, 0.15},
        {Spectrum::OnePole, 0.01, std::exp(-4.0 * std::numbers::pi * 0.01), 0.05},
    };
    const dsp::KeyingEnvelope key{{true, 8000 * 120}};
    for (const Case& c : cases) {
        dsp::ToneOptions o{.pitchHz = 800, .amplitude = 1000, .seed = 9, .fadingHz = 1.0};
        o.fadingSpectrum = c.spectrum;
        const auto audio = dsp::synthesizeCw(key, o);
        const std::vector<double> power = relativeBlockPowers(audio, 80, 1000); // 10 ms: eight periods
        const double mean = meanOf(power);
        const auto lag = static_cast<std::size_t>(std::lround(c.lagSeconds * 100));
        double cov = 0, var = 0;
        for (std::size_t i = 0; i + lag < power.size(); ++i) {
            cov += (power[i] - mean) * (power[i + lag] - mean);
            var += (power[i] - mean) * (power[i] - mean);
        }
        EXPECT_NEAR(mean, 1.0, 0.3) << static_cast<int>(c.spectrum);
        EXPECT_NEAR(cov / var, c.correlation, c.tolerance) << static_cast<int>(c.spectrum) << " at " << c.lagSeconds;
    }
}

TEST(CwGenerator, KeyingLevelsWithRampsAndSmoothedNoise) {
    const auto v = dsp::keyingLevelsFrom(dsp::KeyingEnvelope{{false, 2}, {true, 10}, {false, 2}, {true, 2}},
                                         {.markLevel = 200, .spaceLevel = 5, .rampSamples = 3});
    EXPECT_EQ(v, (std::vector<std::int16_t>{5, 5, 54, 103, 151, 200, 200, 200, 200, 151, 103, 54, 5, 5, 103, 103}));

    const auto noisy = dsp::keyingLevelsFrom(dsp::KeyingEnvelope{{false, 200000}},
                                             {.spaceLevel = 50, .noiseRms = 10, .noiseSmoothingSamples = 40});
    double sumSq = 0, lag = 0;
    for (std::size_t i = 1000; i < noisy.size(); ++i) { // past the start-up transient
        sumSq += (noisy[i] - 50.0) * (noisy[i] - 50.0);
        lag += (noisy[i] - 50.0) * (noisy[i - 1] - 50.0);
    }
    EXPECT_NEAR(std::sqrt(sumSq / (noisy.size() - 1000)), 10.0, 0.8) << "smoothing keeps the spread";
    EXPECT_GT(lag / sumSq, 0.9) << "neighbouring samples correlate";
}

TEST(CwGenerator, WavFileReadsBackThroughLibsndfile) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 1000; ++i) {
        samples.push_back(static_cast<std::int16_t>(i * 67 - 32768));
    }
    char dir[] = "/tmp/cwgenXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/t.wav";
    ASSERT_TRUE(dsp::writeWav(path, samples));
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.samplerate, 8000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<std::int16_t> back(1001);
    EXPECT_EQ(sf_read_short(f, back.data(), 1001), 1000);
    sf_close(f);
    back.resize(1000);
    EXPECT_EQ(back, samples);
    EXPECT_EQ(dsp::encodeWav(samples).size(), 44u + 2000u);
    std::remove(path.c_str());
    rmdir(dir);
    EXPECT_FALSE(dsp::writeWav(std::string(dir) + "/gone/x.wav", samples)) << "missing directory";
}

} // namespace
