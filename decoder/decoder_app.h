#pragma once
// The decoder's window logic without the window: the message table for keys
// and mouse, the handling of one SampleDatagram (header copy, strip and
// status line, element timing, character output), and the commands sent back
// to the station. The program wires it to a real window, text window and link
// socket (decoder/decoder_window.h); tests drive it with datagram bytes and
// message parameters and look at the pictures and sinks.
//
// Everything here runs on the window thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "decoder/decoder_kind.h"
#include "decoder/decoder_state.h"
#include "dsp/element_timing.h"
#include "dsp/weak_decoder.h"
#include "link/datagrams.h"
#include "platform/gdi.h"
#include "platform/messages.h"

namespace decoder {

// Size of the off-screen signal picture; only its top stripHeight rows are
// ever shown.
inline constexpr int signalPictureWidth = 900;
inline constexpr int signalPictureHeight = 700;
inline constexpr int stripHeight = 300;
// Width of the ring that holds the scrolling rows (see DecoderApp).
inline constexpr int stripRingWidth = 2 * signalPictureWidth;
// First column of the newest part of the strip; columns to its right are
// whitened and redrawn for every datagram.
inline constexpr int stripNewX = 890;
// Row of the status line in the window. Under it, right of the station's
// window and above the text window, a line names the decoder once the
// operator has chosen one.
inline constexpr int statusY = 310;
inline constexpr int decoderLineX = 525;
inline constexpr int decoderLineY = statusY + 15;

inline constexpr platform::Colour levelColour = platform::rgb(0, 160, 100);
inline constexpr platform::Colour thresholdColour = platform::rgb(255, 0, 0);
inline constexpr platform::Colour effectiveThresholdColour = platform::rgb(255, 128, 0);
inline constexpr platform::Colour textBackground = platform::rgb(128, 255, 0);
inline constexpr platform::Colour digitBackground = platform::rgb(128, 255, 255);
inline constexpr platform::Colour white = platform::rgb(255, 255, 255);

// Band limits of the decoder's own band commands, Hz.
inline constexpr std::int32_t minBandwidthHz = 2;
inline constexpr std::int32_t maxBandwidthHz = 3999;
inline constexpr std::int32_t bandStepHz = 10;
// A centre is sent only strictly inside these, Hz.
inline constexpr std::int32_t lowestCentreHz = 200;
inline constexpr std::int32_t highestCentreHz = 3700;

// Scan codes with the extended-key flag (0x100) of the separate arrow block;
// the keypad's arrows come without the flag and do not steer the band.
inline constexpr unsigned scanUp = 0x148;
inline constexpr unsigned scanDown = 0x150;
inline constexpr unsigned scanRight = 0x14D;
inline constexpr unsigned scanLeft = 0x14B;
// F2 switches between the classic and the weak-signal decoder.
inline constexpr unsigned scanDecoderToggle = 0x03C;

// Where commands for the station go (the link socket in the program).
class ControlSink {
  public:
    virtual void send(const locallink::ControlDatagram& datagram) = 0;

  protected:
    ~ControlSink() = default;
};

// Where decoded text goes, one Windows-1251 byte at a time (the text window
// and standard output in the program).
class TextSink {
  public:
    virtual void append(unsigned char cp1251Byte) = 0;

  protected:
    ~TextSink() = default;
};

// The classic decoder always runs: the strip and the readings painted under
// it are its own. The text goes to the text sink from the decoder selected:
// the classic one, or the weak-signal decoder working on the filtered audio
// the datagrams carry.
class DecoderApp final : private dsp::TextOutput {
  public:
    // Creates the signal picture (white, black text on light green) and the
    // weak-signal decoder, whether it is selected or not, so that switching
    // allocates nothing. Text painting needs the platform (fonts) to exist.
    // With `initial` Weak the status line names the decoder from the start.
    DecoderApp(ControlSink& control, TextSink& text, DecoderKind initial = DecoderKind::Classic);
    ~DecoderApp();
    DecoderApp(const DecoderApp&) = delete;
    DecoderApp& operator=(const DecoderApp&) = delete;

    DecoderState& state() { return state_; }
    const DecoderState& state() const { return state_; }
    // A pixel of the signal picture (signalPictureWidth × signalPictureHeight,
    // its top stripHeight rows scrolling left as datagrams come); 0 outside it.
    platform::Colour signalPixel(int x, int y) const;
    DecoderKind selectedDecoder() const { return selected_; }

    // Keys, characters and mouse of the main window. Returns false for a
    // message that is not in the decoder's table (it then gets the default
    // handling); keys and characters of the table that change nothing, such
    // as Right at the top centre, still return true.
    bool handleInput(unsigned message, platform::WParam wParam, platform::LParam lParam);

    // A received datagram, `bytes` as read (at most 660 are looked at).
    // Returns false, changing nothing, for fewer than 20 bytes or a `kind`
    // other than 0. Otherwise copies the header (band, filter length code)
    // and keeps the filtered samples and the keying levels for
    // drawAndDecode; whatever lies beyond the received length reads as 0.
    bool acceptDatagram(std::span<const std::uint8_t> bytes);
    // The keying levels of the last accepted datagram (all 0 before the first).
    std::span<const std::int16_t> keyingLevels() const { return keyingLevels_; }

    // The rest of a datagram's handling, once the window can be drawn into:
    // strip, threshold marks and status line (into `window`, its default
    // text settings untouched), then the per-sample loop over the levels of
    // the last accepted datagram, which may paint and append characters,
    // and, with the weak-signal decoder selected, its samples through that
    // decoder, which may append characters.
    void drawAndDecode(platform::DrawContext& window);
    // The same with the drawing into the window optional: null holds this
    // datagram's picture back (the decoding is the same), and
    // presentHeldBack later draws exactly what drawAndDecode(window) would
    // have drawn now, unless a later datagram is drawn first. A window can
    // so be updated at its screen's pace instead of once per datagram.
    void drawAndDecode(platform::DrawContext* window);
    bool heldBack() const { return heldBack_; }
    void presentHeldBack(platform::DrawContext& window);

    // Something else drew over the status or decoder line in the window, or
    // a new size cut them off: the next datagram draws them again in full
    // (otherwise a datagram draws only the lines whose text changed).
    void statusOverdrawn();

    // One ControlDatagram to the station; unused fields are 0.
    void sendControl(std::int32_t command, std::int32_t value, std::int32_t filterCode, std::int32_t bandwidthHz,
                     std::int32_t centreHz);

  private:
    void character(dsp::ElementCode elementCode) override;
    void wordGap() override;

    void sendBand(std::int32_t bandwidthHz, std::int32_t centreHz);
    void onKeyDown(platform::LParam lParam);
    void onLeftButton(unsigned x, unsigned y);
    void drawStrip();
    struct StatusShown;
    StatusShown statusNow() const;
    void present(platform::DrawContext& window);
    void drawStatusLines(platform::DrawContext& window, const StatusShown& shown);
    void drawStatus(platform::DrawContext& window, const StatusShown& shown);
    void drawDecoderLine(platform::DrawContext& window, const StatusShown& shown);
    void selectDecoder(DecoderKind kind);

    ControlSink& control_;
    TextSink& text_;
    DecoderState state_;
    // The signal picture is kept in two parts so that scrolling it moves no
    // pixels: its top stripHeight rows are the columns stripOrigin_ …
    // stripOrigin_ + signalPictureWidth − 1 of stripRing_, which is wider,
    // and a scroll moves the origin right; only when the ring's end is
    // reached do the shown columns go back to its start. The rows below,
    // which never scroll, are stripBelow_.
    platform::Picture stripRing_;
    platform::Picture stripBelow_;
    int stripOrigin_ = 0;
    // Rows of stripBelow_ holding threshold marks in the newest columns (−1: none).
    int belowMarkRows_[2] = {-1, -1};
    platform::DrawContext pictureContext_; // on stripRing_
    std::int16_t keyingLevels_[locallink::samplesPerDatagram] = {};
    std::int16_t samples_[locallink::samplesPerDatagram] = {};
    DecoderKind selected_;
    // Without a choice made (no option, no F2) the status line is exactly
    // the classic one; the decoder's name appears once a choice is made.
    bool decoderLineShown_;
    std::unique_ptr<dsp::WeakSignalDecoder> weak_;
    std::int32_t weakAlphabet_ = dsp::Latin; // -1: set before the next feed

    // What the status and decoder lines in the window were drawn from;
    // empty when they have to be drawn whatever they show.
    struct StatusShown {
        std::int32_t dotLength, autoDot, alphabet, shortPulseCheck, agcOn;
        bool decoderLine;
        DecoderKind kind;
        bool estimated; // the weak decoder has a speed: wpm and snrDb, rounded
        std::int32_t wpm, snrDb;
        bool operator==(const StatusShown&) const = default;
    };
    std::optional<StatusShown> statusShown_;

    // The picture of the last datagram, when it was held back: the status
    // lines as they were before its decoding, and the strip's right-hand
    // columns as they were before its characters were painted there
    // (saved by the first one; heldColumnsSaved_ says whether).
    bool heldBack_ = false;
    StatusShown heldStatus_{};
    platform::Picture heldColumns_;
    platform::DrawContext heldColumnsContext_;
    bool heldColumnsSaved_ = false;
};

} // namespace decoder
