#include "platform/environment.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

namespace platform {

namespace {

// The value, or nullptr when unset or empty.
const char* valueOf(const EnvironmentLookup& lookup, const char* name) {
    const char* value = lookup(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// SELVANE_SPEED: a decimal integer >= 1, at most a million; anything else 1.
int parseSpeed(const char* text) {
    if (text == nullptr) {
        return 1;
    }
    const std::string_view view(text);
    std::int64_t n = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), n);
    if (error != std::errc() || end != view.data() + view.size() || n < 1) {
        return 1;
    }
    return static_cast<int>(std::min<std::int64_t>(n, 1'000'000));
}

} // namespace

Environment readEnvironment(const EnvironmentLookup& lookup) {
    Environment env;
    const auto text = [&](const char* name) {
        const char* value = valueOf(lookup, name);
        return value != nullptr ? std::string(value) : std::string();
    };
    env.audio.inputFile = text("SELVANE_INPUT");
    env.audio.outputFile = text("SELVANE_OUTPUT");
    env.audio.fileSpeed = parseSpeed(valueOf(lookup, "SELVANE_SPEED"));
    env.audio.inputCard = text("SELVANE_INPUT_DEVICE");
    env.audio.outputCard = text("SELVANE_OUTPUT_DEVICE");
    env.x11Display = lookup("DISPLAY") != nullptr;
    env.waylandDisplay = lookup("WAYLAND_DISPLAY") != nullptr;
    env.toolkitPlatformChosen = lookup("QT_QPA_PLATFORM") != nullptr;
    const char* noModal = lookup("CW_NO_MODAL");
    env.noModalBoxes = noModal != nullptr && std::string_view(noModal) == "1";
    if (const char* hint = valueOf(lookup, firstWindowPositionVariable)) {
        env.firstWindowPositionGiven = parseWindowPosition(hint, env.firstWindowX, env.firstWindowY);
    }
    return env;
}

std::string firstWindowPositionEntry(int x, int y) {
    return std::string(firstWindowPositionVariable) + "=" + std::to_string(x) + "," + std::to_string(y);
}

bool parseWindowPosition(std::string_view text, int& x, int& y) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) {
        return false;
    }
    const auto parse = [](std::string_view part, int& out) {
        // from_chars takes '-' but not '+' or blanks, which is what we want.
        const char* end = part.data() + part.size();
        const auto [ptr, ec] = std::from_chars(part.data(), end, out);
        return !part.empty() && ec == std::errc() && ptr == end;
    };
    int px = 0;
    int py = 0;
    if (!parse(text.substr(0, comma), px) || !parse(text.substr(comma + 1), py)) {
        return false;
    }
    x = px;
    y = py;
    return true;
}

} // namespace platform
