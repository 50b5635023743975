#pragma once
// The weak-signal CW decoder: 8000 Hz audio in, characters out, for signals
// near the noise floor, at unknown and changing speed and pitch. Pure code:
// no windows, no platform calls, no allocation after construction. One
// object decodes one signal; it is not shared between threads.

#include <cstdint>
#include <memory>
#include <span>

#include "dsp/alphabet.h"
#include "dsp/audio_constants.h"

namespace dsp {

struct WeakDecoderOptions {
    // Sample rate of the audio fed in, Hz. Only 8000 is supported.
    std::int32_t sampleRateHz = dsp::sampleRateHz;
    // Pitch to start from, Hz, 200 … 1200; 0 searches the band for it.
    double pitchHz = 0.0;
    // Speed range searched, PARIS words per minute, 5 … 60.
    double minWpm = 8.0;
    double maxWpm = 50.0;
    Alphabet alphabet = Latin;
};

// One decided character, or a word gap (text " ").
struct DecodedCharacter {
    // Windows-1251 bytes, zero-terminated: one or two characters, " " for a
    // word gap, "*" for a code in no alphabet.
    char text[4] = {};
    ElementCode elementCode = 0; // 0 for a word gap
    // Sample index (from the first sample fed, 8000 per second) at which
    // the character's last mark ended.
    std::int64_t endSample = 0;
    // Estimates when it was decided: speed in WPM, pitch in Hz, SNR in dB
    // (tone power over noise power in 500 Hz), confidence 0 … 1.
    float wpm = 0.0F;
    float pitchHz = 0.0F;
    float snrDb = 0.0F;
    float confidence = 0.0F;
};

struct WeakDecoderEstimates {
    double wpm = 0.0;        // 0 until a speed has been measured
    double pitchHz = 0.0;    // 0 until a tone has been found
    double snrDb = 0.0;      // tone power over noise power in 500 Hz
    double confidence = 0.0; // 0 … 1
};

class WeakSignalDecoder {
  public:
    explicit WeakSignalDecoder(const WeakDecoderOptions& options = {});
    ~WeakSignalDecoder();
    WeakSignalDecoder(const WeakSignalDecoder&) = delete;
    WeakSignalDecoder& operator=(const WeakSignalDecoder&) = delete;

    // Feeds audio. Returns the characters decided by this call, in order;
    // the view stays valid until the next call of feed, flush or reset.
    // Every character comes out at most 1 s of audio after its closing gap.
    // One call returns at most 2048 characters (several minutes of audio at
    // any speed): feed long recordings in pieces. Without a given pitch the
    // first tone is sought on up to the last second of audio, which is then
    // decoded (audio before that second is not).
    std::span<const DecodedCharacter> feed(std::span<const std::int16_t> samples);
    // End of input: decides whatever is pending.
    std::span<const DecodedCharacter> flush();
    // Forgets the signal (speed, pitch, levels) and starts over.
    void reset();

    void setAlphabet(Alphabet alphabet);
    WeakDecoderEstimates estimates() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace dsp
