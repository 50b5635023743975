// A datagram of any length at the decoder's handler without the drawing:
// the header copy, the user's keys and clicks, and the element timer over
// the keying levels, with every closed character read in the selected
// alphabet. Fast, so it reaches deep timer states; fuzz_sample_drawing
// runs the same inputs with the painting. Input layout:
// fuzz/decoder_input.h.

#include <cstddef>
#include <cstdint>
#include <span>

#include "decoder/decoder_app.h"
#include "dsp/alphabet.h"
#include "dsp/element_timing.h"
#include "fuzz/decoder_input.h"

namespace {

// Stands in for the painting: reads each character as drawAndDecode would.
struct ReadingOutput final : dsp::TextOutput {
    const decoder::DecoderState* state = nullptr;
    std::size_t characters = 0;
    void character(dsp::ElementCode elementCode) override {
        const dsp::CharacterReadings r = dsp::readCharacter(elementCode, state->alphabet);
        characters += r.selected.size();
    }
    void wordGap() override {}
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzzsupport::CountingControl control;
    static fuzzsupport::CountingText text;
    static decoder::DecoderApp app(control, text);
    ReadingOutput output;
    output.state = &app.state();
    fuzzsupport::replayInput(app, data, size, [&output](std::span<const std::uint8_t> datagram) {
        if (fuzzsupport::offerDatagram(app, datagram)) {
            dsp::decodeKeyingLevels(app.state().timer, app.keyingLevels(), output);
        }
    });
    return 0;
}
