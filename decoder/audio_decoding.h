#pragma once
// CW audio to text through the station's own front end, outside the station:
// find the tone (or take a given pitch), design the station's band filter
// around it, and feed the filtered audio either to the weak-signal decoder or
// to the station's keying detector and the classic element timer with their
// defaults. Both decoders thus see exactly the same filtered signal, which is
// what makes their error rates comparable.
//
// Input is 8000 Hz mono 16-bit audio. Pure computation: no windows, no
// platform services, no clocks, no randomness, so the same samples always
// give the same characters. One object decodes one signal on one thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decoder/decoder_kind.h"
#include "dsp/alphabet.h"
#include "dsp/audio_constants.h"
#include "dsp/weak_decoder.h"

namespace decoder {

// Where the tone is looked for, Hz.
inline constexpr double lowestPitchHz = 200.0;
inline constexpr double highestPitchHz = 1200.0;

struct AudioDecodingOptions {
    DecoderKind kind = DecoderKind::Weak;
    // Tone to centre the band on, Hz, 200 … 1200; 0 looks for the strongest
    // tone between 200 and 1200 Hz.
    double pitchHz = 0.0;
    // Width of the station's band filter, Hz, 10 … 1000.
    double bandwidthHz = 100.0;
    // Taps of the band filter: 64, 128, 256, 512 or 1024.
    std::int32_t filterTaps = 256;
    dsp::Alphabet alphabet = dsp::Latin;
};

// Why `options` cannot be used, as one short English sentence without a
// final full stop; nullopt when they can.
std::optional<std::string> optionsProblem(const AudioDecodingOptions& options);

// A tone found in the audio: its frequency and how far its spectral line
// stands above the noise around it (power of the line over the median power
// of the bins within 200 Hz of it, the line's own 30 Hz excluded).
struct ToneEstimate {
    double pitchHz = 0.0;      // 0 when the audio holds no energy at all
    double prominenceDb = 0.0; // 0 … ; below about 2 dB is what noise alone gives
};

// The most prominent tone between 200 and 1200 Hz over the whole of
// `samples` (average spectrum of Hann-windowed 1024-sample frames, line
// position refined between bins).
ToneEstimate findStrongestTone(std::span<const std::int16_t> samples);

// A tone this far above its surroundings is taken as the signal while
// streaming; noise alone stays well below it.
inline constexpr double toneLockProminenceDb = 5.0;

// The streaming decoder. With a given pitch it decodes from the first sample.
// Without one it holds back up to the last 4 s of audio until a tone stands
// clear of the noise (toneLockProminenceDb), then designs the filter around
// that tone and decodes the held audio and everything after it; audio that
// slid out of those 4 s before a tone was found is not decoded.
class AudioDecoder {
  public:
    // Options outside their ranges (see optionsProblem) are clamped.
    explicit AudioDecoder(const AudioDecodingOptions& options);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Feeds audio, any number of samples. Returns the characters decided by
    // this call, in order; `endSample` counts from the first sample ever fed
    // and is corrected for the filter's delay. Word gaps come as " ", only
    // between characters: a gap is put out with the character after it. The classic
    // decoder measures no SNR or confidence: those fields are NaN in its
    // records, and its pitch is the band centre. The view stays valid until
    // the next feed or flush.
    std::span<const dsp::DecodedCharacter> feed(std::span<const std::int16_t> samples);
    // End of the audio: a tone not yet found is taken from what is held, and
    // whatever either decoder still holds is decided. Feeding afterwards
    // continues as if silence had followed.
    std::span<const dsp::DecodedCharacter> flush();

    // The centre of the band in use, Hz; 0 while the tone is still sought.
    double pitchHz() const;
    std::int64_t samplesFed() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

struct AudioDecodingResult {
    std::string text; // Windows-1251, word gaps as single spaces
    std::vector<dsp::DecodedCharacter> characters;
    double pitchHz = 0.0; // centre of the band used; 0: nothing decoded
};

// The whole of `samples` at once: without a given pitch the tone is sought
// over all of it (findStrongestTone) before decoding starts, so a signal that
// starts late is found as well as one that starts at once.
AudioDecodingResult decodeAudio(std::span<const std::int16_t> samples, const AudioDecodingOptions& options);

} // namespace decoder
