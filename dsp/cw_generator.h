#pragma once
// A Morse signal generator: text → keying envelope (PARIS timing) → either a
// keying-level stream like the station's, or 16-bit mono audio at 8000 Hz
// with shaped edges and white Gaussian noise, and a plain WAV encoder. Used
// by the tests, the sample recording and the demonstration run. Every
// random choice comes from a seeded std::mt19937, so a given set of options
// always gives the same samples.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/audio_constants.h"

namespace dsp {

// One key-down (mark) or key-up (space) stretch.
struct KeyingRun {
    bool mark = false;
    std::int32_t samples = 0; // length, ≥ 1
};
using KeyingEnvelope = std::vector<KeyingRun>;

struct KeyingOptions {
    // Speed in PARIS words per minute, 1 … 100: a dot lasts 1200/wpm ms, a
    // dash 3 dots, the gap inside a character 1 dot, between characters 3,
    // between words 7.
    double wpm = 18.0;
    // Hand-keying irregularity: standard deviation of each mark and gap
    // length as a fraction of its nominal length, 0 … 0.3. A run never
    // shrinks below a fifth of its nominal length.
    double jitter = 0.0;
    std::uint32_t seed = 1;
    // Silence before the first and after the last mark, ms, 0 … 3 600 000.
    std::int32_t leadingSilenceMs = 0;
    std::int32_t trailingSilenceMs = 0;
    // Hand keying: a dash's length in dots, 2 … 5, and the weight, dots
    // added to every mark and taken from the gap after it, −0.5 … 0.5 (the
    // character timing stays).
    double dashDots = 3.0;
    double weightDots = 0.0;
    // A speed change: from the character at index changeAtCharacter (0 =
    // the first; spaces are not counted) on, the speed is changeWpm, 1 …
    // 100; 0 keeps one speed.
    double changeWpm = 0.0;
    std::int32_t changeAtCharacter = 0;
};

// Dot length in samples at `wpm` (rounded; at least 1).
std::int32_t dotSamples(double wpm);

// The keying of `text`: Latin letters (either case), digits, . , ? ! / = #,
// prosigns written as <AR> <AS> <KN> <SK> <BK> <CQ>, words separated by one
// or more spaces. Consecutive runs of the same kind are merged. Empty when
// the text holds anything else, or when an option is out of range.
std::optional<KeyingEnvelope> keyingFromText(std::string_view text, const KeyingOptions& options);

std::int64_t totalSamples(const KeyingEnvelope& envelope);

struct LevelOptions {
    // Keying levels for key down and key up, in keying-level units.
    std::int16_t markLevel = 200;
    std::int16_t spaceLevel = 0;
    // Linear rise at the start and fall at the end of every mark, inside the
    // mark, in samples (shortened to half the mark when the mark is shorter).
    std::int32_t rampSamples = 0;
    // Standard deviation of Gaussian noise added to every level.
    double noiseRms = 0.0;
    // Correlation time of that noise, samples: 0 gives white noise; n > 0
    // passes it through a one-pole low-pass of time constant n (keeping its
    // standard deviation), as a detector that averages over a window would.
    double noiseSmoothingSamples = 0.0;
    std::uint32_t seed = 1;
};

// One keying level per sample, as the station's detector would deliver
// them; results are clamped to the 16-bit range.
std::vector<std::int16_t> keyingLevelsFrom(const KeyingEnvelope& envelope, const LevelOptions& options);

struct ToneOptions {
    double pitchHz = 700.0;    // tone frequency, 0 … 4000 Hz
    double amplitude = 8000.0; // peak of the tone, 0 … 32767
    // Raised-cosine rise and fall, inside each mark, ms (shortened to half
    // the mark when the mark is shorter). A few ms keep the keying clickless.
    double edgeMs = 5.0;
    // Standard deviation of white Gaussian noise over the whole signal, in
    // sample units.
    double noiseRms = 0.0;
    std::uint32_t seed = 1;

    // Hard conditions; each is off at its default, and each draws from its
    // own generator seeded from `seed`, so turning one on leaves the noise
    // of the others as it was.
    // Fading (QSB): the tone's amplitude follows the magnitude of complex
    // Gaussian noise of mean power 1 (Rayleigh fading, with deep fades now
    // and then), band-limited by fadingHz (0.01 … 10 Hz; 0 = none) as
    // fadingSpectrum says.
    double fadingHz = 0.0;
    enum class FadingSpectrum : std::int8_t {
        // A one-pole low-pass with its corner at fadingHz: rough at every
        // time scale, so a mark's level can fall 10 dB or more inside a dash.
        OnePole,
        // A Gaussian Doppler spectrum whose spread (twice its standard
        // deviation) is fadingHz, as in the Watterson model of an HF path:
        // smooth fades, a fade of depth d lasting about as long as one of
        // depth d/2.
        Gaussian,
    };
    FadingSpectrum fadingSpectrum = FadingSpectrum::OnePole;
    // Pitch drift, Hz per minute (−600 … 600): the pitch moves linearly
    // from pitchHz at the first sample.
    double driftHzPerMinute = 0.0;
    // A second CW signal (QRM) keyed by `interferer` (not owned; null =
    // none), at pitchHz + interfererOffsetHz, interfererLevelDb relative to
    // the tone's amplitude, with the same edges; cut or padded to length.
    const KeyingEnvelope* interferer = nullptr;
    double interfererOffsetHz = 0.0;
    double interfererLevelDb = 0.0;
    // Impulse noise: clicks at random times (Poisson, impulsesPerSecond,
    // 0 … 100), each a 2 ms burst of random sign and peak impulseAmplitude
    // (sample units) decaying with a 0.4 ms time constant.
    double impulsesPerSecond = 0.0;
    double impulseAmplitude = 0.0;
};

// Audio at 8000 Hz: a phase-continuous tone keyed by `envelope`, plus noise,
// rounded and clamped to 16 bits.
std::vector<std::int16_t> synthesizeCw(const KeyingEnvelope& envelope, const ToneOptions& options);

// Noise standard deviation (sample units) for a signal-to-noise ratio of
// `snrDb` between a tone of peak `amplitude` and the noise falling into
// `bandwidthHz` (e.g. a receiver's 500 Hz or 2500 Hz filter).
double noiseRmsForSnr(double amplitude, double snrDb, double bandwidthHz);

// A canonical 44-byte-header RIFF/WAVE file: PCM, 16-bit, mono,
// little-endian. Empty when the samples do not fit the format's 32-bit sizes
// or the rate is not positive.
std::vector<std::uint8_t> encodeWav(std::span<const std::int16_t> samples, std::int32_t sampleRate = dsp::sampleRateHz);
// Writes encodeWav's bytes to `path`; false when the file cannot be written
// completely.
bool writeWav(const std::string& path, std::span<const std::int16_t> samples,
              std::int32_t sampleRate = dsp::sampleRateHz);

} // namespace dsp
