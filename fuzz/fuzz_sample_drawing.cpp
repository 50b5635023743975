// A datagram of any length at the decoder's handler, with its drawing: the
// header copy, the strip, the status line, the element timer and the
// character painting, into a 900 × 300 window picture. Slow (it paints);
// fuzz_sample_datagram runs the same inputs without the drawing. Input
// layout: fuzz/decoder_input.h.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "decoder/decoder_app.h"
#include "fuzz/decoder_input.h"
#include "platform/gdi.h"
#include "platform/platform.h"

namespace {

platform::DrawContext* windowContext = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Fonts for the text drawing come from a headless platform, made once.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static platform::Platform platformObject(*argc, *argv);
    static platform::Picture picture(900, 300, decoder::white);
    static platform::DrawContext context(picture);
    windowContext = &context;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One decoder for the whole run: its state starts afresh for every
    // input; only the pictures keep earlier drawing, which no decision reads.
    static fuzzsupport::CountingControl control;
    static fuzzsupport::CountingText text;
    static decoder::DecoderApp app(control, text);
    fuzzsupport::replayInput(app, data, size, [](std::span<const std::uint8_t> datagram) {
        if (fuzzsupport::offerDatagram(app, datagram)) {
            app.drawAndDecode(*windowContext);
        }
    });
    return 0;
}
