#include "platform/gdi.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPainter>
#include <QString>

#include "platform/core/pixels.h"
#include "platform/cp1251.h"
#include "platform/qt/gdi_qt.h"

namespace platform {

namespace {

constexpr int maxSide = 16384;

int clampSide(int v) { return std::clamp(v, 0, maxSide); }

QImage makeImage(int width, int height, Colour fill) {
    width = clampSide(width);
    height = clampSide(height);
    if (width == 0 || height == 0) {
        return {};
    }
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(storedPixel(fill));
    return image;
}

bool haveGuiApplication() { return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr; }

QString fromCp1251(std::string_view bytes) {
    QString out(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* chars = out.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        char16_t c = b < 0x80 ? char16_t{b} : cp1251HighHalf[b - 0x80];
        if (c == 0 && b != 0) {
            c = 0xFFFD; // 0x98 has no character
        }
        chars[i] = QChar(c);
    }
    return out;
}

// The desktop's "Ms Sans Serif" and system font are not on this machine;
// a plain sans-serif family stands in for them.
QString sansFamily() {
    for (const char* candidate : {"DejaVu Sans", "Liberation Sans", "Noto Sans", "FreeSans"}) {
        const QString name = QString::fromLatin1(candidate);
        if (QFontDatabase::hasFamily(name)) {
            return name;
        }
    }
    QFont fallback;
    fallback.setStyleHint(QFont::SansSerif);
    return fallback.defaultFamily();
}

QString resolveFamily(std::string_view faceCp1251) {
    const QString face = fromCp1251(faceCp1251).trimmed();
    const QString lower = face.toLower();
    const bool standIn = face.isEmpty() || lower == QLatin1String("ms sans serif") || lower == QLatin1String("system");
    if (!standIn && QFontDatabase::hasFamily(face)) {
        return face;
    }
    return sansFamily();
}

QFont makeQFont(const QString& family, int pixelSize, int weight) {
    QFont font(family);
    font.setPixelSize(std::max(pixelSize, 1));
    font.setWeight(static_cast<QFont::Weight>(std::clamp(weight, 1, 1000)));
    // Crisp one-colour glyphs like the desktop's bitmap fonts, and advances
    // that add up character by character (no kerning).
    font.setStyleStrategy(QFont::NoAntialias);
    font.setKerning(false);
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

constexpr int systemCellHeight = 16;

} // namespace

// ---------------------------------------------------------------- Picture

Picture::Picture(int width, int height, Colour fill) : impl_(std::make_unique<Impl>()) {
    impl_->image = makeImage(width, height, fill);
}

Picture::~Picture() = default;
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;

int Picture::width() const { return impl_->image.width(); }
int Picture::height() const { return impl_->image.height(); }

Colour Picture::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width() || y >= height()) {
        return 0;
    }
    return pixels()[static_cast<std::ptrdiff_t>(y) * stride() + x] & 0x00FFFFFFu;
}

std::uint32_t* Picture::pixels() {
    if (impl_->image.isNull()) {
        return nullptr;
    }
    return reinterpret_cast<std::uint32_t*>(impl_->image.bits());
}

const std::uint32_t* Picture::pixels() const {
    if (impl_->image.isNull()) {
        return nullptr;
    }
    return reinterpret_cast<const std::uint32_t*>(impl_->image.constBits());
}

int Picture::stride() const {
    return static_cast<int>(impl_->image.bytesPerLine() / static_cast<qsizetype>(sizeof(std::uint32_t)));
}

void Picture::fill(Colour colour) {
    if (!impl_->image.isNull()) {
        impl_->image.fill(storedPixel(colour));
    }
}

Picture Picture::copyRegion(int x, int y, int width, int height, Colour outside) const {
    Picture out(width, height, outside);
    copyBlock(out.pixels(), out.stride(), out.width(), out.height(), 0, 0, pixels(), stride(), this->width(),
              this->height(), x, y, out.width(), out.height());
    return out;
}

void Picture::resize(int width, int height, Colour fill) {
    QImage next = makeImage(width, height, fill);
    if (!next.isNull() && !impl_->image.isNull()) {
        copyBlock(reinterpret_cast<std::uint32_t*>(next.bits()), static_cast<int>(next.bytesPerLine() / 4),
                  next.width(), next.height(), 0, 0, pixels(), stride(), this->width(), this->height(), 0, 0,
                  next.width(), next.height());
    }
    impl_->image = std::move(next);
}

std::mutex& Picture::mutex() const { return impl_->mutex; }

// ---------------------------------------------------------------- Font

Font Font::create(std::string_view face, int height, int weight) {
    Font font;
    font.weight = weight == 0 ? 400 : std::clamp(weight, 1, 1000);
    if (!haveGuiApplication()) {
        font.family.clear();
        return font;
    }
    const QString family = resolveFamily(face);
    font.family = family.toStdString();
    if (height == 0) {
        height = systemCellHeight;
    }
    if (height < 0) {
        font.pixelSize = std::max(-height, 1);
        return font;
    }
    // A positive height asks for the whole cell: take the largest em size
    // whose ascent + descent still fits (the first size tried is nearly
    // always a few pixels too big; sans-serif cells are about 1.2 em).
    int size = height;
    while (size > 1 && QFontMetrics(makeQFont(family, size, font.weight)).height() > height) {
        --size;
    }
    font.pixelSize = size;
    return font;
}

Font Font::system() { return create("System", systemCellHeight, 400); }

// ---------------------------------------------------------------- DrawContext

struct DrawContext::TextImpl {
    explicit TextImpl(const QFont& f) : font(f), metrics(f) {}

    // A display redraws the same few texts many times a second, and
    // measuring a text means laying it out again: the last few are kept.
    int advance(const QString& s) {
        for (const Measured& m : measured) {
            if (m.text == s) {
                return m.advance;
            }
        }
        const int width = metrics.horizontalAdvance(s);
        measured[nextMeasured] = {s, width};
        nextMeasured = (nextMeasured + 1) % measured.size();
        return width;
    }

    QFont font;
    QFontMetrics metrics;
    struct Measured {
        QString text; // empty text measures 0, as an unused entry says
        int advance = 0;
    };
    std::array<Measured, 16> measured{};
    std::size_t nextMeasured = 0;
};

// ---------------------------------------------------------------- FontCache

struct FontCache::Impl {
    struct Entry {
        std::string family;
        int pixelSize;
        int weight;
        std::unique_ptr<DrawContext::TextImpl> text;
    };
    // A window's contexts use one or two fonts; the limit only bounds a
    // caller that keeps selecting new ones.
    static constexpr std::size_t maxEntries = 8;

    std::optional<Font> system; // resolved on first use
    std::vector<Entry> entries; // oldest first

    DrawContext::TextImpl* find(const Font& font) {
        for (const Entry& e : entries) {
            if (e.pixelSize == font.pixelSize && e.weight == font.weight && e.family == font.family) {
                return e.text.get();
            }
        }
        if (entries.size() == maxEntries) {
            entries.erase(entries.begin());
        }
        entries.push_back({font.family, font.pixelSize, font.weight,
                           std::make_unique<DrawContext::TextImpl>(
                               makeQFont(QString::fromStdString(font.family), font.pixelSize, font.weight))});
        return entries.back().text.get();
    }
};

FontCache::FontCache() : impl_(std::make_unique<Impl>()) {}
FontCache::~FontCache() = default;

// ---------------------------------------------------------------- DrawContext

DrawContext::DrawContext(Picture& target) : target_(&target) {}

DrawContext::DrawContext(Picture& target, FontCache& fonts) : target_(&target), fonts_(&fonts) {}

DrawContext::DrawContext(Picture& target, std::unique_lock<std::mutex> hold, std::function<void()> onRelease)
    : target_(&target), hold_(std::move(hold)), onRelease_(std::move(onRelease)) {}

DrawContext::~DrawContext() {
    if (hold_.owns_lock()) {
        hold_.unlock();
    }
    if (onRelease_) {
        onRelease_();
    }
}

void DrawContext::setFont(const Font& font) {
    selectedFont_ = font;
    text_ = nullptr;
    ownText_.reset();
}

DrawContext::TextImpl* DrawContext::text() {
    if (text_ != nullptr) {
        return text_;
    }
    if (!haveGuiApplication()) {
        return nullptr;
    }
    Font font;
    if (selectedFont_) {
        font = *selectedFont_;
    } else if (fonts_ != nullptr) {
        std::optional<Font>& system = fonts_->impl_->system;
        if (!system) {
            system = Font::system(); // asks the font database: worth keeping
        }
        font = *system;
    } else {
        font = Font::system();
    }
    if (font.family.empty()) {
        return nullptr; // made before the application existed
    }
    if (fonts_ != nullptr) {
        // Shared with the other contexts of the cache's owner, which uses
        // them one at a time.
        text_ = fonts_->impl_->find(font);
    } else {
        // A QFont of our own: QFont is reentrant, not thread-safe, so
        // contexts used on different threads never share one.
        ownText_ =
            std::make_unique<TextImpl>(makeQFont(QString::fromStdString(font.family), font.pixelSize, font.weight));
        text_ = ownText_.get();
    }
    return text_;
}

void DrawContext::textOut(int x, int y, std::string_view textCp1251) {
    TextImpl* t = text();
    Picture& p = *target_;
    if (t == nullptr || p.impl().image.isNull()) {
        return;
    }
    const QString s = fromCp1251(textCp1251);
    const long long right = static_cast<long long>(x) + t->advance(s);
    const long long bottom = static_cast<long long>(y) + t->metrics.height();
    // A cell wholly outside the picture draws nothing (and keeps the
    // coordinates handed to the renderer far from the int limits).
    if (right <= 0 || bottom <= 0 || x >= p.width() || y >= p.height()) {
        return;
    }
    if (backgroundMode_ == BackgroundMode::Opaque) {
        fillRect(x, y, static_cast<int>(std::min<long long>(right, p.width())),
                 static_cast<int>(std::min<long long>(bottom, p.height())), backgroundColour_);
    }
    if (s.isEmpty()) {
        return;
    }
    // Glyphs may reach a little past their cell (bearings, overhangs).
    const int slack = t->metrics.height();
    touch(static_cast<long long>(x) - slack, y, right + slack, bottom);
    QPainter painter(&p.impl().image);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    painter.setFont(t->font);
    painter.setPen(QColor::fromRgb(static_cast<QRgb>(storedPixel(textColour_))));
    painter.drawText(QPoint(x, y + t->metrics.ascent()), s);
}

TextExtent DrawContext::textExtent(std::string_view textCp1251) {
    TextImpl* t = text();
    if (t == nullptr) {
        return {};
    }
    return {t->advance(fromCp1251(textCp1251)), t->metrics.height()};
}

TextMetrics DrawContext::textMetrics() {
    TextImpl* t = text();
    if (t == nullptr) {
        return {};
    }
    return {t->metrics.height(), t->metrics.ascent(), t->metrics.descent(), std::max(t->metrics.leading(), 0)};
}

} // namespace platform
