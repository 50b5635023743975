#pragma once
// Off-screen pictures and drawing contexts with the pixel rules of the
// desktop the programs were designed for:
//   - a line lights its start point and excludes its end point;
//   - a filled rectangle covers its left column and top row and excludes its
//     right column and bottom row;
//   - a block transfer within one picture is correct when source and
//     destination overlap (the waterfall and the decoder strip scroll that way);
//   - everything is clipped to the picture; nothing reads or writes outside it.
//
// Colours are 0x00RRGGBB (see rgb()). Text is Windows-1251 bytes in and is
// drawn with a real font.
//
// Qt stays behind this header: pictures, pixels, lines, fills and transfers
// work without any application object; the text functions (Font::create,
// Font::system, textOut, textExtent, textMetrics) need the Platform (which
// owns the QApplication) to exist; without it fonts resolve to nothing, text
// draws nothing and measures 0.
//
// Threads: a Picture and its DrawContexts may be used on any thread, but not
// by two threads at once. Nothing here locks by itself: callers that share a
// picture between threads hold picture.mutex() around their drawing.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// 0x00RRGGBB.
using Colour = std::uint32_t;

// `r`, `g`, `b`: 0 … 255 each.
constexpr Colour rgb(int r, int g, int b) {
    return (static_cast<Colour>(r & 0xFF) << 16) | (static_cast<Colour>(g & 0xFF) << 8) | static_cast<Colour>(b & 0xFF);
}

// A stored pixel carries 0xFF in its top byte; write colours through this
// when using pixels() directly.
constexpr std::uint32_t storedPixel(Colour colour) { return 0xFF000000u | colour; }

// A width × height RGB image. Movable, not copyable (use copyRegion()); a
// moved-from picture may only be assigned to or destroyed.
class Picture {
  public:
    // `width`, `height`: pixels, clamped to 0 … 16384. Every pixel starts as `fill`.
    Picture(int width, int height, Colour fill = rgb(0, 0, 0));
    ~Picture();
    Picture(Picture&&) noexcept;
    Picture& operator=(Picture&&) noexcept;
    Picture(const Picture&) = delete;
    Picture& operator=(const Picture&) = delete;

    int width() const;
    int height() const;

    // 0x00RRGGBB of the pixel; 0 for a point outside the picture.
    Colour pixel(int x, int y) const;

    // Row-major pixels for fast access: pixel (x, y) is pixels()[y * stride() + x],
    // stored as storedPixel(colour); null for an empty picture. stride():
    // pixels per row, ≥ width().
    std::uint32_t* pixels();
    const std::uint32_t* pixels() const;
    int stride() const;

    void fill(Colour colour);

    // A new picture holding the part of this one that the rectangle covers
    // (x, y: top-left; width, height: pixels). Parts outside this picture
    // come out as `outside`.
    Picture copyRegion(int x, int y, int width, int height, Colour outside = rgb(0, 0, 0)) const;

    // New size; the overlapping top-left part keeps its pixels, new ones are `fill`.
    void resize(int width, int height, Colour fill = rgb(0, 0, 0));

    // The lock for everyone who draws into this picture from more than one
    // thread. The picture's own functions never take it.
    std::mutex& mutex() const;

    // The renderer-side image, for the rest of platform/ (platform/qt/gdi_qt.h).
    struct Impl;
    Impl& impl() { return *impl_; }
    const Impl& impl() const { return *impl_; }

  private:
    std::unique_ptr<Impl> impl_;
};

// A font request, resolved against the fonts of this machine. A plain value:
// every DrawContext that selects it builds its own renderer-side font, so one
// Font can be selected on several threads.
struct Font {
    // `face`: Windows-1251 face name. "Ms Sans Serif", "MS Sans Serif",
    // "System" and "" stand for the machine's sans-serif family; another name
    // is used when the machine has it, else the sans-serif family too.
    // `height`: > 0 the character cell (ascent + descent) in pixels, < 0 the
    // character height without internal leading (the em size), 0 the system
    // font's cell. `weight`: 1 … 1000, 400 normal, 700 bold; 0 means 400.
    // Needs the Platform.
    static Font create(std::string_view face, int height, int weight);
    // Stand-in for the desktop's system font: sans-serif, 16-pixel cell
    // (13-pixel em), normal weight. Needs the Platform.
    static Font system();

    std::string family; // resolved family name, UTF-8
    int pixelSize = 13; // em size in pixels handed to the renderer, ≥ 1
    int weight = 400;   // 1 … 1000
};

struct Pen {
    Colour colour = rgb(0, 0, 0); // solid, one pixel wide: the only pen the programs use
};

struct Brush {
    Colour colour = rgb(255, 255, 255); // solid
};

enum class BackgroundMode {
    Opaque,      // text cells are filled with the background colour first
    Transparent, // only the glyphs are drawn
};

struct TextExtent {
    int cx = 0; // advance width in pixels
    int cy = 0; // cell height in pixels
};

struct TextMetrics {
    int height = 0;          // cell height: ascent + descent, pixels
    int ascent = 0;          // pixels from the cell top to the baseline
    int descent = 0;         // pixels below the baseline
    int externalLeading = 0; // extra spacing the font suggests between lines, ≥ 0
};

// Renderer-side fonts kept for the short-lived contexts of one surface (a
// window's client area, drawn through a new context per datagram), so that
// a context does not resolve and build its font again every time. Holds a
// few fonts (the most recently added ones). Locks nothing: its owner makes
// sure that one context at a time uses it (a window's contexts hold the
// surface's lock).
class FontCache {
  public:
    FontCache();
    ~FontCache();
    FontCache(const FontCache&) = delete;
    FontCache& operator=(const FontCache&) = delete;

  private:
    friend class DrawContext;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A drawing context bound to a picture it does not own (the picture must
// outlive it). Holds the selected tools and the current position.
class DrawContext {
  public:
    explicit DrawContext(Picture& target);
    // As above, taking its fonts from `fonts` (which must outlive the
    // context) instead of building its own.
    DrawContext(Picture& target, FontCache& fonts);
    // A context over a surface that someone else shows (a window's client
    // area): holds `hold` (normally a lock of target.mutex()) for the
    // context's lifetime, gives it up on destruction and then calls
    // `onRelease` (for example to ask for a repaint).
    DrawContext(Picture& target, std::unique_lock<std::mutex> hold, std::function<void()> onRelease);
    ~DrawContext();
    DrawContext(const DrawContext&) = delete;
    DrawContext& operator=(const DrawContext&) = delete;

    Picture& picture() { return *target_; }
    const Picture& picture() const { return *target_; }

    // Selected tools. Defaults: black pen, white brush, no font (the system
    // font is used), black text, white background, opaque mode, position (0, 0).
    void setPen(Pen pen) { pen_ = pen; }
    Pen pen() const { return pen_; }
    void setBrush(Brush brush) { brush_ = brush; }
    Brush brush() const { return brush_; }
    void setFont(const Font& font);
    void setTextColour(Colour colour) { textColour_ = colour; }
    Colour textColour() const { return textColour_; }
    void setBackgroundColour(Colour colour) { backgroundColour_ = colour; }
    Colour backgroundColour() const { return backgroundColour_; }
    void setBackgroundMode(BackgroundMode mode) { backgroundMode_ = mode; }
    BackgroundMode backgroundMode() const { return backgroundMode_; }

    // Pixels: no allocation, no application object needed.
    void setPixel(int x, int y, Colour colour); // outside the picture: ignored
    void moveTo(int x, int y);
    // From the current position to (x, y) with the pen; lights the start,
    // excludes (x, y), which becomes the current position. Any coordinates
    // (far outside the picture too) are fine: the line is clipped, not walked.
    void lineTo(int x, int y);
    int currentX() const { return curX_; }
    int currentY() const { return curY_; }
    // Covers left … right − 1 and top … bottom − 1; an empty rectangle
    // (right ≤ left or bottom ≤ top) draws nothing.
    void fillRect(int left, int top, int right, int bottom, Colour colour);
    void fillRect(int left, int top, int right, int bottom) { fillRect(left, top, right, bottom, brush_.colour); }
    // Copies width × height pixels from (srcX, srcY) of `source` to
    // (dstX, dstY) here, clipped to both pictures. `source` may be this
    // context's own picture; overlapping regions copy as if through a
    // temporary. Negative sizes copy nothing.
    void blit(int dstX, int dstY, int width, int height, const Picture& source, int srcX, int srcY);
    void blit(int dstX, int dstY, int width, int height, const DrawContext& source, int srcX, int srcY) {
        blit(dstX, dstY, width, height, source.picture(), srcX, srcY);
    }

    // Text (needs the Platform). `textCp1251`: Windows-1251 bytes.
    // (x, y) is the top-left corner of the text's cell. In opaque mode the
    // cell (the extent) is filled with the background colour first.
    void textOut(int x, int y, std::string_view textCp1251);
    TextExtent textExtent(std::string_view textCp1251);
    TextMetrics textMetrics();

    // The smallest rectangle of the picture holding every pixel this
    // context may have changed (left, top inclusive; right, bottom
    // exclusive); false when it has drawn nothing. A window repaints only
    // that part.
    bool drawnArea(int& left, int& top, int& right, int& bottom) const;

    struct TextImpl;

  private:
    TextImpl* text(); // the renderer-side font, made on first use; null without the Platform
    // Adds a rectangle (any coordinates, clipped here) to the drawn area.
    void touch(long long left, long long top, long long right, long long bottom);

    Picture* target_;
    std::unique_lock<std::mutex> hold_;
    std::function<void()> onRelease_;
    Pen pen_{};
    Brush brush_{};
    Colour textColour_ = rgb(0, 0, 0);
    Colour backgroundColour_ = rgb(255, 255, 255);
    BackgroundMode backgroundMode_ = BackgroundMode::Opaque;
    int curX_ = 0;
    int curY_ = 0;
    int drawnLeft_ = 0, drawnTop_ = 0, drawnRight_ = 0, drawnBottom_ = 0; // empty: nothing drawn
    std::optional<Font> selectedFont_;                                    // empty: the system font
    FontCache* fonts_ = nullptr;                                          // null: the context builds its own font
    TextImpl* text_ = nullptr;                                            // the font in use: ownText_ or one of fonts_
    std::unique_ptr<TextImpl> ownText_;
};

} // namespace platform
