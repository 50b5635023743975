#pragma once
// Morse element timing: keying levels (one per audio sample, 8000 per
// second) become marks and spaces, an estimate of the dot length, closed
// characters as element codes, and word gaps. Pure code: no windows, no
// platform calls, no allocation.

#include <cstdint>
#include <span>

#include "decoder/decoder_state.h"
#include "dsp/alphabet.h"

namespace decoder {

// Where closed characters and word gaps go (the text window and the strip).
class TextOutput {
public:
    virtual void character(dsp::ElementCode elementCode) = 0;
    virtual void wordGap() = 0;

protected:
    ~TextOutput() = default;
};

// One step of the element timer. `level`: 1 for a mark, 0 for a space.
void onKeyingSample(DecoderState& state, std::int32_t level, TextOutput& output);

// One value of the per-sample loop: peak follower, threshold (automatic
// while agcOn), mark/space decision, then onKeyingSample. `keyingLevel`: the
// station's keying level for one sample, any 16-bit value.
void onKeyingLevel(DecoderState& state, std::int32_t keyingLevel, TextOutput& output);

// The per-sample loop over one datagram's keying levels, in order.
void decodeKeyingLevels(DecoderState& state, std::span<const std::int16_t> keyingLevels,
                        TextOutput& output);

} // namespace decoder
