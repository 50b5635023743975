#include "dsp/cw_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

#include "dsp/alphabet.h"
#include "dsp/audio_constants.h"

namespace dsp {

namespace {

std::int16_t clampToSample(double v) {
    return static_cast<std::int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
}

// Appends a run, merging it into the previous one of the same kind.
void appendRun(KeyingEnvelope& envelope, bool mark, std::int32_t samples) {
    if (samples <= 0) {
        return;
    }
    if (!envelope.empty() && envelope.back().mark == mark) {
        envelope.back().samples += samples;
    } else {
        envelope.push_back({mark, samples});
    }
}

// One parsed character: its elements, or empty when the text has no Morse.
std::string nextCharacterElements(std::string_view text, std::size_t& pos) {
    if (text[pos] == '<') {
        const std::size_t close = text.find('>', pos);
        if (close == std::string_view::npos || close - pos != 3) {
            return {};
        }
        const std::string_view name = text.substr(pos + 1, 2);
        pos = close + 1;
        return elementsForReading(name);
    }
    const std::string_view one = text.substr(pos, 1);
    ++pos;
    return elementsForReading(one);
}

void putLittleEndian(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

} // namespace

// Longest leading or trailing silence, ms (keeps sample counts in 32 bits).
constexpr std::int32_t maxSilenceMs = 3600 * 1000;

std::int32_t dotSamples(double wpm) {
    const double samples = 1.2 / wpm * dsp::sampleRateHz;
    return std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(samples)));
}

std::optional<KeyingEnvelope> keyingFromText(std::string_view text, const KeyingOptions& options) {
    if (!(options.wpm >= 1.0 && options.wpm <= 100.0) || !(options.jitter >= 0.0 && options.jitter <= 0.3) ||
        options.leadingSilenceMs < 0 || options.leadingSilenceMs > maxSilenceMs || options.trailingSilenceMs < 0 ||
        options.trailingSilenceMs > maxSilenceMs || !(options.dashDots >= 2.0 && options.dashDots <= 5.0) ||
        !(options.weightDots >= -0.5 && options.weightDots <= 0.5) ||
        !(options.changeWpm == 0.0 || (options.changeWpm >= 1.0 && options.changeWpm <= 100.0)) ||
        options.changeAtCharacter < 0) {
        return std::nullopt;
    }
    std::int32_t dot = dotSamples(options.wpm);
    std::mt19937 rng(options.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    // Length of a mark or gap of `units` dots (plus `extra` dots of
    // weight), with the keying irregularity.
    const auto length = [&](double units, double extra = 0.0) {
        const double nominal = extra == 0.0 ? units * dot : (units + extra) * dot;
        if (options.jitter == 0.0) {
            return static_cast<std::int32_t>(nominal);
        }
        const double jittered = std::max(nominal * (1.0 + options.jitter * gauss(rng)), nominal / 5.0);
        return std::max<std::int32_t>(1, static_cast<std::int32_t>(std::lround(jittered)));
    };

    KeyingEnvelope envelope;
    appendRun(envelope, false, options.leadingSilenceMs * (dsp::sampleRateHz / 1000));
    bool anyCharacter = false;
    bool wordGapPending = false;
    std::size_t pos = 0;
    std::int32_t characters = 0;
    const double w = options.weightDots;
    while (pos < text.size()) {
        if (text[pos] == ' ') {
            wordGapPending = anyCharacter;
            ++pos;
            continue;
        }
        const std::string elements = nextCharacterElements(text, pos);
        if (elements.empty()) {
            return std::nullopt;
        }
        if (options.changeWpm > 0.0 && characters == options.changeAtCharacter) {
            dot = dotSamples(options.changeWpm);
        }
        ++characters;
        if (anyCharacter) {
            appendRun(envelope, false, length(wordGapPending ? 7 : 3, -w));
        }
        for (std::size_t i = 0; i < elements.size(); ++i) {
            if (i > 0) {
                appendRun(envelope, false, length(1, -w));
            }
            appendRun(envelope, true, length(elements[i] == '-' ? options.dashDots : 1, w));
        }
        anyCharacter = true;
        wordGapPending = false;
    }
    appendRun(envelope, false, options.trailingSilenceMs * (dsp::sampleRateHz / 1000));
    return envelope;
}

std::int64_t totalSamples(const KeyingEnvelope& envelope) {
    std::int64_t n = 0;
    for (const KeyingRun& run : envelope) {
        n += run.samples;
    }
    return n;
}

std::vector<std::int16_t> keyingLevelsFrom(const KeyingEnvelope& envelope, const LevelOptions& options) {
    std::vector<std::int16_t> levels;
    levels.reserve(static_cast<std::size_t>(totalSamples(envelope)));
    std::mt19937 rng(options.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double low = options.spaceLevel;
    const double high = options.markLevel;
    // One-pole smoothing y = a·y + (1 − a)·x leaves a variance (1 − a)/(1 + a)
    // of the input's; the input is scaled up to make that up.
    const double a = options.noiseSmoothingSamples > 0.0 ? std::exp(-1.0 / options.noiseSmoothingSamples) : 0.0;
    const double inputRms = options.noiseRms * std::sqrt((1.0 + a) / (1.0 - a));
    double noise = 0.0;
    for (const KeyingRun& run : envelope) {
        const std::int32_t ramp = std::min(std::max(options.rampSamples, 0), run.samples / 2);
        for (std::int32_t i = 0; i < run.samples; ++i) {
            double v = low;
            if (run.mark) {
                const std::int32_t fromEdge = std::min(i, run.samples - 1 - i);
                const double rise = fromEdge < ramp ? (fromEdge + 1.0) / (ramp + 1.0) : 1.0;
                v = low + (high - low) * rise;
            }
            if (options.noiseRms > 0.0) {
                noise = a * noise + (1.0 - a) * inputRms * gauss(rng);
                v += noise;
            }
            levels.push_back(clampToSample(v));
        }
    }
    return levels;
}

namespace {

// Raised-cosine keying gain of every sample of `envelope`, `edge` samples
// per edge inside each mark, padded with zeros or cut to `length`.
std::vector<float> keyingGain(const KeyingEnvelope& envelope, std::int32_t edgeSamples, std::size_t length) {
    std::vector<float> gain;
    gain.reserve(length);
    for (const KeyingRun& run : envelope) {
        const std::int32_t edge = std::min(edgeSamples, run.samples / 2);
        for (std::int32_t i = 0; i < run.samples && gain.size() < length; ++i) {
            double g = 0.0;
            if (run.mark) {
                const std::int32_t fromEdge = std::min(i, run.samples - 1 - i);
                g = fromEdge < edge ? 0.5 * (1.0 - std::cos(std::numbers::pi * (fromEdge + 0.5) / edge)) : 1.0;
            }
            gain.push_back(static_cast<float>(g));
        }
    }
    gain.resize(length, 0.0F);
    return gain;
}

// Seeds of the hard conditions' own generators.
constexpr std::uint32_t fadingSeed = 0x51B5u;
constexpr std::uint32_t impulseSeed = 0x1C4Bu;

// Gaussian-spectrum fading amplitudes, one every `gaussianFadeStep` samples
// (100 a second: the spectrum is negligible above 5 standard deviations,
// at most 25 Hz), for `length` samples plus one step to interpolate into.
// White complex noise through a Gaussian kernel of standard deviation
// 1 / (2√2 π σ) s (its square, the spectrum, then has σ = spreadHz / 2);
// scaled to mean power 1.
constexpr std::int32_t gaussianFadeStep = 80;

std::vector<double> gaussianFading(std::mt19937& rng, double spreadHz, std::size_t length) {
    constexpr double stepsPerSecond = static_cast<double>(sampleRateHz) / gaussianFadeStep;
    const double sigmaSteps = stepsPerSecond / (2.0 * std::numbers::sqrt2 * std::numbers::pi * (spreadHz / 2.0));
    const auto half = static_cast<std::size_t>(std::ceil(4.0 * sigmaSteps));
    std::vector<double> kernel(2 * half + 1);
    double energy = 0.0;
    for (std::size_t k = 0; k < kernel.size(); ++k) {
        const double d = (static_cast<double>(k) - static_cast<double>(half)) / sigmaSteps;
        kernel[k] = std::exp(-0.5 * d * d);
        energy += kernel[k] * kernel[k];
    }
    const std::size_t count = length / gaussianFadeStep + 2;
    std::normal_distribution<double> gauss(0.0, std::sqrt(0.5 / energy)); // each part; power 1 after the kernel
    std::vector<double> re(count + kernel.size()), im(count + kernel.size());
    for (std::size_t k = 0; k < re.size(); ++k) {
        re[k] = gauss(rng);
        im[k] = gauss(rng);
    }
    std::vector<double> amplitude(count);
    for (std::size_t i = 0; i < count; ++i) {
        double r = 0.0, q = 0.0;
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            r += kernel[k] * re[i + k];
            q += kernel[k] * im[i + k];
        }
        amplitude[i] = std::hypot(r, q);
    }
    return amplitude;
}

} // namespace

std::vector<std::int16_t> synthesizeCw(const KeyingEnvelope& envelope, const ToneOptions& options) {
    std::vector<std::int16_t> audio;
    const auto total = static_cast<std::size_t>(totalSamples(envelope));
    audio.reserve(total);
    std::mt19937 rng(options.seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double phaseStep = 2.0 * std::numbers::pi * options.pitchHz / dsp::sampleRateHz;
    const auto edgeSamples = static_cast<std::int32_t>(std::max(options.edgeMs, 0.0) * dsp::sampleRateHz / 1000.0);

    // Fading: one-pole low-passed complex Gaussian noise, scaled to unit
    // power and started from its stationary distribution; or amplitudes of
    // the Gaussian spectrum, computed ahead and interpolated.
    const bool fading = options.fadingHz > 0.0;
    std::mt19937 fadeRng(options.seed ^ fadingSeed);
    const bool gaussianSpectrum = fading && options.fadingSpectrum == ToneOptions::FadingSpectrum::Gaussian;
    const std::vector<double> gaussianFade =
        gaussianSpectrum ? gaussianFading(fadeRng, options.fadingHz, total) : std::vector<double>{};
    std::normal_distribution<double> fadeGauss(0.0, 1.0);
    const double fadeA = fading ? std::exp(-2.0 * std::numbers::pi * options.fadingHz / dsp::sampleRateHz) : 0.0;
    const double fadeIn = std::sqrt((1.0 + fadeA) / (1.0 - fadeA) / 2.0); // per component, for power 1 in all
    double fadeRe = fading ? fadeGauss(fadeRng) / std::sqrt(2.0) : 0.0;
    double fadeIm = fading ? fadeGauss(fadeRng) / std::sqrt(2.0) : 0.0;

    // Drift: the phase integrates a linearly moving frequency.
    const double driftPerSample = options.driftHzPerMinute / 60.0 / dsp::sampleRateHz; // Hz per sample
    double driftPhase = 0.0;

    std::vector<float> interference;
    double interfererAmplitude = 0.0;
    double interfererStep = 0.0;
    if (options.interferer != nullptr) {
        interference = keyingGain(*options.interferer, edgeSamples, total);
        interfererAmplitude = options.amplitude * std::pow(10.0, options.interfererLevelDb / 20.0);
        interfererStep = 2.0 * std::numbers::pi * (options.pitchHz + options.interfererOffsetHz) / dsp::sampleRateHz;
    }

    std::mt19937 impulseRng(options.seed ^ impulseSeed);
    std::exponential_distribution<double> impulseGap(std::max(options.impulsesPerSecond, 1e-9) / dsp::sampleRateHz);
    const bool impulses = options.impulsesPerSecond > 0.0 && options.impulseAmplitude > 0.0;
    double nextImpulse = impulses ? impulseGap(impulseRng) : -1.0;
    double impulseSign = 1.0;
    double impulseAge = 1e9; // samples since the last click

    std::int64_t n = 0; // absolute sample index keeps the phase continuous
    for (const KeyingRun& run : envelope) {
        const std::int32_t edge = std::min(edgeSamples, run.samples / 2);
        for (std::int32_t i = 0; i < run.samples; ++i, ++n) {
            double v = 0.0;
            double fade = 1.0;
            if (gaussianSpectrum) {
                const auto step = static_cast<std::size_t>(n / gaussianFadeStep);
                const double f = static_cast<double>(n % gaussianFadeStep) / gaussianFadeStep;
                fade = gaussianFade[step] + f * (gaussianFade[step + 1] - gaussianFade[step]);
            } else if (fading) {
                fadeRe = fadeA * fadeRe + (1.0 - fadeA) * fadeIn * fadeGauss(fadeRng);
                fadeIm = fadeA * fadeIm + (1.0 - fadeA) * fadeIn * fadeGauss(fadeRng);
                fade = std::sqrt(fadeRe * fadeRe + fadeIm * fadeIm);
            }
            if (driftPerSample != 0.0) {
                const double hz = options.pitchHz + driftPerSample * static_cast<double>(n);
                driftPhase =
                    std::fmod(driftPhase + 2.0 * std::numbers::pi * hz / dsp::sampleRateHz, 2.0 * std::numbers::pi);
            }
            if (run.mark) {
                const std::int32_t fromEdge = std::min(i, run.samples - 1 - i);
                const double gain =
                    fromEdge < edge ? 0.5 * (1.0 - std::cos(std::numbers::pi * (fromEdge + 0.5) / edge)) : 1.0;
                // Reduce the phase before the sine so long signals keep precision.
                const double phase = driftPerSample != 0.0
                                         ? driftPhase
                                         : std::fmod(phaseStep * static_cast<double>(n), 2.0 * std::numbers::pi);
                v = options.amplitude * gain * std::sin(phase);
                if (fading) {
                    v *= fade;
                }
            }
            if (!interference.empty()) {
                const double phase = std::fmod(interfererStep * static_cast<double>(n), 2.0 * std::numbers::pi);
                v += interfererAmplitude * interference[static_cast<std::size_t>(n)] * std::sin(phase);
            }
            if (impulses) {
                if (static_cast<double>(n) >= nextImpulse) {
                    impulseSign = (impulseRng() & 1u) != 0 ? 1.0 : -1.0;
                    impulseAge = 0.0;
                    nextImpulse += std::max(1.0, impulseGap(impulseRng));
                }
                if (impulseAge < 16.0) {
                    v += impulseSign * options.impulseAmplitude * std::exp(-impulseAge / 3.2);
                    impulseAge += 1.0;
                }
            }
            if (options.noiseRms > 0.0) {
                v += options.noiseRms * gauss(rng);
            }
            audio.push_back(clampToSample(v));
        }
    }
    return audio;
}

double noiseRmsForSnr(double amplitude, double snrDb, double bandwidthHz) {
    // Tone power A²/2 against white noise whose power σ² spreads evenly over
    // 0 … 4000 Hz, so a band of B Hz holds σ²·B/4000.
    const double tonePower = amplitude * amplitude / 2.0;
    const double noiseInBand = tonePower / std::pow(10.0, snrDb / 10.0);
    return std::sqrt(noiseInBand * (dsp::sampleRateHz / 2.0) / bandwidthHz);
}

std::vector<std::uint8_t> encodeWav(std::span<const std::int16_t> samples, std::int32_t sampleRate) {
    // The RIFF size fields are 32 bits: about 74 hours of audio at most.
    if (samples.size() > (0xFFFFFFFFu - 44u) / 2u || sampleRate <= 0) {
        return {};
    }
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::vector<std::uint8_t> out;
    out.reserve(44 + dataBytes);
    const auto tag = [&](const char* four) { out.insert(out.end(), four, four + 4); };
    tag("RIFF");
    putLittleEndian(out, 36 + dataBytes, 4);
    tag("WAVE");
    tag("fmt ");
    putLittleEndian(out, 16, 4);                                         // format chunk size
    putLittleEndian(out, 1, 2);                                          // PCM
    putLittleEndian(out, 1, 2);                                          // mono
    putLittleEndian(out, static_cast<std::uint32_t>(sampleRate), 4);     // frames per second
    putLittleEndian(out, static_cast<std::uint32_t>(sampleRate) * 2, 4); // bytes per second
    putLittleEndian(out, 2, 2);                                          // bytes per frame
    putLittleEndian(out, 16, 2);                                         // bits per sample
    tag("data");
    putLittleEndian(out, dataBytes, 4);
    for (const std::int16_t s : samples) {
        putLittleEndian(out, static_cast<std::uint16_t>(s), 2);
    }
    return out;
}

bool writeWav(const std::string& path, std::span<const std::int16_t> samples, std::int32_t sampleRate) {
    const std::vector<std::uint8_t> bytes = encodeWav(samples, sampleRate);
    if (bytes.empty()) {
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    return written && closed;
}

} // namespace dsp
