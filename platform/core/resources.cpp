#include "platform/resources.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <utility>

namespace platform {
namespace {

// Reads the next unsigned number of an XPM header; false when there is none.
bool nextNumber(std::string_view& text, long& out) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc{} || out < 0) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return true;
}

} // namespace

std::string Resources::key(std::string_view name) {
    std::string k(name);
    for (char& c : k) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return k;
}

bool Resources::addIconXpm(std::string_view name, const char* const* xpm) {
    if (xpm == nullptr || xpm[0] == nullptr) {
        return false;
    }
    std::string_view header(xpm[0]);
    long width = 0, height = 0, colours = 0, charsPerPixel = 0;
    if (!nextNumber(header, width) || !nextNumber(header, height) || !nextNumber(header, colours) ||
        !nextNumber(header, charsPerPixel) || width == 0 || height == 0 || colours == 0 || charsPerPixel == 0 ||
        width > 1024 || height > 1024 || colours > 65536) {
        return false;
    }
    const auto lines = static_cast<std::size_t>(1 + colours + height);
    IconResource icon;
    icon.xpm.reserve(lines);
    for (std::size_t i = 0; i < lines; ++i) {
        if (xpm[i] == nullptr) {
            return false; // shorter than its header says
        }
        icon.xpm.emplace_back(xpm[i]);
    }
    icons_[key(name)] = std::move(icon);
    return true;
}

bool Resources::addIconPng(std::string_view name, std::span<const std::uint8_t> png) {
    static constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (png.size() < sizeof signature || !std::equal(std::begin(signature), std::end(signature), png.begin())) {
        return false;
    }
    IconResource icon;
    icon.png.assign(png.begin(), png.end());
    icons_[key(name)] = std::move(icon);
    return true;
}

void Resources::addMenu(std::string_view name, MenuDescription menu) { menus_[key(name)] = std::move(menu); }

const IconResource* Resources::findIcon(std::string_view name) const {
    const auto it = icons_.find(key(name));
    return it == icons_.end() ? nullptr : &it->second;
}

std::optional<MenuDescription> Resources::findMenu(std::string_view name) const {
    const auto it = menus_.find(key(name));
    if (it == menus_.end()) {
        return std::nullopt;
    }
    return it->second;
}

} // namespace platform
