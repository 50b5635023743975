#pragma once
// The GSM 06.10 full-rate codec of the relay: 160 16-bit samples (20 ms at
// 8000 Hz) ↔ one 33-byte frame in libgsm's default frame format.

#include <cstdint>

struct gsm_state; // libgsm's codec state

namespace station {

inline constexpr int gsmFrameBytes = 33;
inline constexpr int gsmBlockSamples = 160;

// The station's two codec states, made once at start-up (decoder first, then
// encoder) and kept for the life of the station: their histories run on
// across connections and are never reset. The encoder belongs to the
// processing thread and the decoder to the window thread; each has that one
// user, so neither needs a lock.
class GsmCodecPair {
  public:
    GsmCodecPair();
    ~GsmCodecPair();
    GsmCodecPair(const GsmCodecPair&) = delete;
    GsmCodecPair& operator=(const GsmCodecPair&) = delete;

    // False when libgsm could not allocate a state; start-up must then stop
    // the station. With a missing state the calls below still return
    // defined output: silence from decodeFrames, all-zero (hence invalid)
    // frames from encodeBlocks.
    bool valid() const { return decoder_ != nullptr && encoder_ != nullptr; }

  private:
    friend void encodeBlocks(GsmCodecPair& pair, const std::int16_t* samples, std::uint8_t* frames, int count);
    friend void decodeFrames(GsmCodecPair& pair, const std::uint8_t* frames, std::int16_t* samples, int count);

    gsm_state* decoder_ = nullptr;
    gsm_state* encoder_ = nullptr;
};

// Encodes `count` blocks: samples[160·i … 160·i+159] → frames[33·i … 33·i+32].
// Processing thread only.
void encodeBlocks(GsmCodecPair& pair, const std::int16_t* samples, std::uint8_t* frames, int count);

// Decodes `count` frames: frames[33·i …] → samples[160·i …]. A unit the codec
// rejects (its first byte lacks 0xD in the high nibble) decodes to 160
// samples of silence. Window thread only.
void decodeFrames(GsmCodecPair& pair, const std::uint8_t* frames, std::int16_t* samples, int count);

} // namespace station
