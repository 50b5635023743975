// cwgen: writes a Morse recording (or a short chord) as a 16-bit mono WAV at
// 8000 Hz, for trying the programs without a receiver.
//
//   cwgen [--wpm N] [--pitch HZ] [--snr DB | --noise RMS] [--amplitude A]
//         [--seed N] [--lead MS] [--tail MS] [--jitter F] [hard conditions]
//         --text "CQ DE ..." OUT.wav
//   cwgen --chord [--ms N] OUT.wav
//
// --snr is the tone over the noise that falls into a 500 Hz receiver
// bandwidth; without --snr or --noise the tone is clean.
//
// Hard conditions:
//   --qsb HZ                 Rayleigh fading at that rate (e.g. 0.3), rough
//   --qsb-gauss HZ           Rayleigh fading with a Gaussian Doppler spectrum
//                            of that spread (smooth, as on an HF path)
//   --drift HZ               pitch drift in Hz per minute
//   --dash DOTS --weight D   hand keying: dash length in dots, mark weight in
//                            dots (with --jitter for the irregularity)
//   --qrm-offset HZ --qrm-level DB [--qrm-wpm N] [--qrm-text T]
//                            a second CW signal that far from the pitch, that
//                            loud relative to the tone
//   --impulses N --impulse-level X
//                            N clicks a second, X times the tone's amplitude
//   --change-wpm N --change-at K
//                            speed N from the K-th character (0-based) on

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "apps/program_info.h"
#include "dsp/audio_constants.h"
#include "dsp/cw_generator.h"

namespace {

constexpr const char* usageText =
    "usage: cwgen [--wpm N] [--pitch HZ] [--snr DB | --noise RMS] [--amplitude A] [--seed N]\n"
    "             [--lead MS] [--tail MS] [--jitter F] [--dash DOTS] [--weight DOTS]\n"
    "             [--qsb HZ | --qsb-gauss HZ] [--drift HZ_PER_MIN]\n"
    "             [--qrm-offset HZ --qrm-level DB [--qrm-wpm N] [--qrm-text TEXT]]\n"
    "             [--impulses PER_S --impulse-level X]\n"
    "             [--change-wpm N --change-at K] --text TEXT OUT.wav\n"
    "       cwgen --chord [--ms N] OUT.wav\n"
    "       cwgen --help | --version\n";

void usage() { std::fputs(usageText, stderr); }

std::optional<double> number(const char* text) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

// A major triad (C5 E5 G5) with a soft attack and a long decay.
std::vector<std::int16_t> chord(int ms) {
    const double freqs[] = {523.25, 659.26, 783.99};
    const int n = ms * dsp::sampleRateHz / 1000;
    std::vector<std::int16_t> out(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / dsp::sampleRateHz;
        const double attack = std::min(1.0, t / 0.01);
        const double decay = std::exp(-3.0 * t / (ms / 1000.0));
        const double release = std::min(1.0, static_cast<double>(n - i) / 80.0);
        double v = 0;
        for (const double f : freqs) {
            v += std::sin(2.0 * std::numbers::pi * f * t);
        }
        out[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>(std::lround(7000.0 * attack * decay * release * v));
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (apps::answerInfoOption(argc, argv, "cwgen", usageText)) {
        return 0;
    }
    dsp::KeyingOptions keying{.wpm = 20.0, .leadingSilenceMs = 300, .trailingSilenceMs = 500};
    dsp::ToneOptions tone{.pitchHz = 840.0, .amplitude = 8000.0};
    std::optional<double> snrDb;
    std::optional<double> qrmOffset;
    double qrmLevelDb = 0.0;
    double qrmWpm = 0.0; // 0: the same speed
    std::string qrmText = "TEST DE QRM QRM 5NN TU";
    double impulseLevel = 0.0;
    std::string text;
    std::string out;
    bool makeChord = false;
    int chordMs = 500;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        std::optional<double> v;
        if (arg == "--chord") {
            makeChord = true;
            continue;
        }
        if (arg.starts_with("--") && !hasValue) {
            usage();
            return 2;
        }
        if (arg == "--text") {
            text = argv[++i];
            continue;
        }
        if (arg == "--qrm-text") {
            qrmText = argv[++i];
            continue;
        }
        if (!arg.starts_with("--")) {
            out = std::string(arg);
            continue;
        }
        v = number(argv[++i]);
        if (!v) {
            std::fprintf(stderr, "cwgen: %s needs a number\n", std::string(arg).c_str());
            return 2;
        }
        if (arg == "--wpm") {
            keying.wpm = *v;
        } else if (arg == "--pitch") {
            tone.pitchHz = *v;
        } else if (arg == "--snr") {
            snrDb = *v;
        } else if (arg == "--noise") {
            tone.noiseRms = *v;
        } else if (arg == "--amplitude") {
            tone.amplitude = *v;
        } else if (arg == "--seed") {
            keying.seed = tone.seed = static_cast<std::uint32_t>(*v);
        } else if (arg == "--lead") {
            keying.leadingSilenceMs = static_cast<std::int32_t>(*v);
        } else if (arg == "--tail") {
            keying.trailingSilenceMs = static_cast<std::int32_t>(*v);
        } else if (arg == "--jitter") {
            keying.jitter = *v;
        } else if (arg == "--dash") {
            keying.dashDots = *v;
        } else if (arg == "--weight") {
            keying.weightDots = *v;
        } else if (arg == "--change-wpm") {
            keying.changeWpm = *v;
        } else if (arg == "--change-at") {
            keying.changeAtCharacter = static_cast<std::int32_t>(*v);
        } else if (arg == "--qsb") {
            tone.fadingHz = *v;
            tone.fadingSpectrum = dsp::ToneOptions::FadingSpectrum::OnePole;
        } else if (arg == "--qsb-gauss") {
            tone.fadingHz = *v;
            tone.fadingSpectrum = dsp::ToneOptions::FadingSpectrum::Gaussian;
        } else if (arg == "--drift") {
            tone.driftHzPerMinute = *v;
        } else if (arg == "--qrm-offset") {
            qrmOffset = *v;
        } else if (arg == "--qrm-level") {
            qrmLevelDb = *v;
        } else if (arg == "--qrm-wpm") {
            qrmWpm = *v;
        } else if (arg == "--impulses") {
            tone.impulsesPerSecond = *v;
        } else if (arg == "--impulse-level") {
            impulseLevel = *v;
        } else if (arg == "--ms") {
            chordMs = static_cast<int>(*v);
        } else {
            usage();
            return 2;
        }
    }
    if (out.empty() || (!makeChord && text.empty()) || chordMs < 10 || chordMs > 10000) {
        usage();
        return 2;
    }

    std::vector<std::int16_t> samples;
    if (makeChord) {
        samples = chord(chordMs);
    } else {
        const auto envelope = dsp::keyingFromText(text, keying);
        if (!envelope) {
            std::fputs("cwgen: the text has characters without Morse, or an option is out of range\n", stderr);
            return 2;
        }
        if (snrDb) {
            tone.noiseRms = dsp::noiseRmsForSnr(tone.amplitude, *snrDb, 500.0);
        }
        if (!(tone.fadingHz >= 0.0 && tone.fadingHz <= 10.0) ||
            !(tone.driftHzPerMinute >= -600.0 && tone.driftHzPerMinute <= 600.0) ||
            !(tone.impulsesPerSecond >= 0.0 && tone.impulsesPerSecond <= 100.0)) {
            std::fputs("cwgen: --qsb, --qsb-gauss, --drift or --impulses out of range\n", stderr);
            return 2;
        }
        tone.impulseAmplitude = impulseLevel * tone.amplitude;
        // The interfering signal repeats its text to the end of the message.
        std::optional<dsp::KeyingEnvelope> qrm;
        if (qrmOffset) {
            dsp::KeyingOptions other = keying;
            other.wpm = qrmWpm > 0.0 ? qrmWpm : keying.wpm;
            other.changeWpm = 0.0;
            other.leadingSilenceMs = 0;
            other.trailingSilenceMs = 0;
            other.seed = keying.seed + 1;
            std::string repeated;
            const std::int64_t needed = dsp::totalSamples(*envelope);
            std::int64_t have = 0;
            while (have < needed && repeated.size() < 100000) {
                repeated += repeated.empty() ? qrmText : " " + qrmText;
                const auto e = dsp::keyingFromText(repeated, other);
                if (!e) {
                    std::fputs("cwgen: the QRM text has characters without Morse\n", stderr);
                    return 2;
                }
                have = dsp::totalSamples(*e);
                qrm = e;
            }
            tone.interferer = &*qrm;
            tone.interfererOffsetHz = *qrmOffset;
            tone.interfererLevelDb = qrmLevelDb;
        }
        samples = dsp::synthesizeCw(*envelope, tone);
    }
    if (!dsp::writeWav(out, samples)) {
        std::fprintf(stderr, "cwgen: cannot write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
