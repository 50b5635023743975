#pragma once
// Key numbering between the Linux desktop and the PC/AT keyboard's set-1 scan
// codes that the window procedures test. A code here is the scan code with
// the extended-key flag as bit 8 (0x148: the separate Up arrow; 0x48: the
// keypad's), the form keyScanCode() returns from a key-down lParam.

namespace platform {

inline constexpr unsigned extendedKeyFlag = 0x100;

// Linux input event code (KEY_*, as in linux/input-event-codes.h; the X11
// and Wayland key code minus 8) → set-1 code with extended flag; 0 when the
// key has no set-1 code.
unsigned scanCodeFromEvdev(unsigned evdevCode);

// The reverse, for synthesised key events; 0 when none.
unsigned evdevFromScanCode(unsigned scanCode);

} // namespace platform
