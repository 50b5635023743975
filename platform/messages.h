#pragma once
// Window message numbers and parameter packing, with Win32's values so the
// programs' message tables read as they were designed.

#include <cstdint>

namespace platform {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

inline constexpr unsigned WM_DESTROY = 0x0002;
inline constexpr unsigned WM_SIZE = 0x0005;
inline constexpr unsigned WM_PAINT = 0x000F;
inline constexpr unsigned WM_CLOSE = 0x0010;
inline constexpr unsigned WM_QUIT = 0x0012;
inline constexpr unsigned WM_KEYDOWN = 0x0100;
inline constexpr unsigned WM_CHAR = 0x0102;
inline constexpr unsigned WM_COMMAND = 0x0111;
inline constexpr unsigned WM_TIMER = 0x0113;
inline constexpr unsigned WM_MOUSEMOVE = 0x0200;
inline constexpr unsigned WM_LBUTTONDOWN = 0x0201;
inline constexpr unsigned WM_LBUTTONUP = 0x0202;
inline constexpr unsigned WM_RBUTTONDOWN = 0x0204;
inline constexpr unsigned WM_MBUTTONDOWN = 0x0207;
inline constexpr unsigned WM_MBUTTONUP = 0x0208;
inline constexpr unsigned WM_MOUSEWHEEL = 0x020A;
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned MM_WOM_DONE = 957;
inline constexpr unsigned MM_WIM_DATA = 960;

// Socket events in the low word of lParam, error in the high word.
inline constexpr unsigned FD_READ = 1;
inline constexpr unsigned FD_ACCEPT = 8;
inline constexpr unsigned FD_CLOSE = 32;

inline constexpr unsigned WHEEL_DELTA = 120;

// Button and modifier state in the low word of wParam of the mouse messages.
// Mouse positions are client coordinates in lParam (low word x, high word
// y, each as 16 bits); WM_MOUSEWHEEL carries the screen position instead,
// and its signed distance in the high word of wParam.
inline constexpr unsigned MK_LBUTTON = 0x0001;
inline constexpr unsigned MK_RBUTTON = 0x0002;
inline constexpr unsigned MK_SHIFT = 0x0004;
inline constexpr unsigned MK_CONTROL = 0x0008;
inline constexpr unsigned MK_MBUTTON = 0x0010;

constexpr std::uint16_t loWord(std::uintptr_t v) { return static_cast<std::uint16_t>(v & 0xFFFF); }
constexpr std::uint16_t hiWord(std::uintptr_t v) { return static_cast<std::uint16_t>((v >> 16) & 0xFFFF); }
constexpr LParam makeLParam(std::uint16_t lo, std::uint16_t hi) {
    return static_cast<LParam>(static_cast<std::uint32_t>(lo) | (static_cast<std::uint32_t>(hi) << 16));
}
// Scan code (bits 16–23) and extended flag (bit 24) of a key-down lParam, as
// one number: 0x148 is the separate Up arrow, 0x48 the keypad's.
constexpr unsigned keyScanCode(LParam lParam) {
    return static_cast<unsigned>((static_cast<std::uintptr_t>(lParam) >> 16) & 0x1FF);
}

} // namespace platform
