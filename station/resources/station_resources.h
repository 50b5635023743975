#pragma once
// The station's icons and popup menus, and their registration with the
// platform's resource registry. The program's start-up registers them once;
// the tray, the device menus and the main window's class look them up by
// these names (matched without regard to case).

#include <string_view>

namespace platform {
class Resources;
}

namespace station {

inline constexpr std::string_view pauseIconName = "ICON_pause"; // idle
inline constexpr std::string_view sendIconName = "ICON_send";   // capture delivering
inline constexpr std::string_view recvIconName = "ICON_recv";   // only playback working

inline constexpr std::string_view trayMenuName = "MENU_Tray";
inline constexpr std::string_view inputMenuName = "MENU_WIn";
inline constexpr std::string_view outputMenuName = "MENU_WOut";

// Menu command ids of the resource items (device items follow at +1 … +n).
inline constexpr unsigned exitCommandId = 101;
inline constexpr unsigned defaultInputCommandId = 201;
inline constexpr unsigned defaultOutputCommandId = 301;

// The three icons as XPM images: 32 × 32 pixels, at most 16 colours, one
// character per pixel, transparent background. Null-terminated after the
// last pixel row, so they can be walked without reading the header.
extern const char* const pauseIconXpm[];
extern const char* const sendIconXpm[];
extern const char* const recvIconXpm[];

// Registers the three icons and the three menus. False when the registry
// refused an icon (a malformed image); the menus are registered anyway.
bool registerStationResources(platform::Resources& resources);

} // namespace station
