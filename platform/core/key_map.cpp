#include "platform/key_map.h"

#include <array>
#include <utility>

namespace platform {
namespace {

// Linux numbered the keys of the main block, the function keys F1 … F12 and
// the numeric keypad after their set-1 make codes, so up to KEY_F12 (88) a
// code is its own scan code; 84 and 85 are unused there. The keys that came
// with the enhanced keyboard (E0 prefix: the separate cursor block, right
// Ctrl/Alt, keypad Enter and slash, the Windows keys) have codes of their own.
constexpr unsigned lastDirectCode = 88;

constexpr std::array<std::pair<unsigned, unsigned>, 18> extendedKeys{{
    {96, 0x1C | extendedKeyFlag},  // KEY_KPENTER
    {97, 0x1D | extendedKeyFlag},  // KEY_RIGHTCTRL
    {98, 0x35 | extendedKeyFlag},  // KEY_KPSLASH
    {99, 0x37 | extendedKeyFlag},  // KEY_SYSRQ (Print Screen)
    {100, 0x38 | extendedKeyFlag}, // KEY_RIGHTALT
    {102, 0x47 | extendedKeyFlag}, // KEY_HOME
    {103, 0x48 | extendedKeyFlag}, // KEY_UP
    {104, 0x49 | extendedKeyFlag}, // KEY_PAGEUP
    {105, 0x4B | extendedKeyFlag}, // KEY_LEFT
    {106, 0x4D | extendedKeyFlag}, // KEY_RIGHT
    {107, 0x4F | extendedKeyFlag}, // KEY_END
    {108, 0x50 | extendedKeyFlag}, // KEY_DOWN
    {109, 0x51 | extendedKeyFlag}, // KEY_PAGEDOWN
    {110, 0x52 | extendedKeyFlag}, // KEY_INSERT
    {111, 0x53 | extendedKeyFlag}, // KEY_DELETE
    {125, 0x5B | extendedKeyFlag}, // KEY_LEFTMETA
    {126, 0x5C | extendedKeyFlag}, // KEY_RIGHTMETA
    {127, 0x5D | extendedKeyFlag}, // KEY_COMPOSE (menu key)
}};

constexpr bool directCode(unsigned code) { return code >= 1 && code <= lastDirectCode && code != 84 && code != 85; }

} // namespace

unsigned scanCodeFromEvdev(unsigned evdevCode) {
    if (directCode(evdevCode)) {
        return evdevCode;
    }
    for (const auto& [evdev, scan] : extendedKeys) {
        if (evdev == evdevCode) {
            return scan;
        }
    }
    return 0;
}

unsigned evdevFromScanCode(unsigned scanCode) {
    if (directCode(scanCode)) {
        return scanCode;
    }
    for (const auto& [evdev, scan] : extendedKeys) {
        if (scan == scanCode) {
            return evdev;
        }
    }
    return 0;
}

} // namespace platform
