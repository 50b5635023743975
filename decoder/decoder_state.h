#pragma once
// The decoder's one process-wide record: the copies of the station's band,
// the display zoom, the element timer and the selected alphabet. Created once
// by the decoder's start-up and passed by reference; it lives until exit and
// is never reset as a whole. Everything here is touched only on the window
// thread, so the fields are plain integers (flags hold 0 or 1).

#include <cstdint>

#include "dsp/alphabet.h"
#include "dsp/element_timing.h"

namespace decoder {

struct DecoderState {
    // Station values as last reported in a SampleDatagram; the decoder never
    // changes them when it sends a command.
    std::int32_t centreHz = 1000;
    std::int32_t bandwidthHz = 100;
    std::int32_t filterLengthCode = 3; // 0 = 32 taps … 5 = 1024 taps
    // Columns the signal strip advances per datagram, 1 … 9.
    std::int32_t zoom = 2;

    // The element timer over the station's keying levels.
    dsp::ElementTimer timer;

    dsp::Alphabet alphabet = dsp::Latin;
};

// The alphabet after `current` in the cycle Latin → Russian → Ukrainian →
// Latin. A value outside the three starts the cycle again at Latin.
constexpr dsp::Alphabet nextAlphabet(dsp::Alphabet current) {
    switch (current) {
    case dsp::Latin:
        return dsp::Russian;
    case dsp::Russian:
        return dsp::Ukrainian;
    default:
        return dsp::Latin;
    }
}

} // namespace decoder
