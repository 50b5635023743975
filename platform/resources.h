#pragma once
// Named icons and popup menus of a program, registered at start-up and
// looked up by name when a window class, the tray icon or a popup needs them.
// Names are matched without regard to ASCII case ("MENU_Tray" = "menu_tray").
// Owned by the Platform (Platform::resources()); main thread only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct MenuItem {
    unsigned id = 0;        // command id, arrives as WM_COMMAND's low word
    std::string textCp1251; // Windows-1251; '&' marks the mnemonic
};

// One popup: its title and its items in display order. Callers copy the
// registered menu and append run-time items (device names) before tracking.
struct MenuDescription {
    std::string popupTitleCp1251;
    std::vector<MenuItem> items;
};

// Exactly one of the two forms is filled.
struct IconResource {
    std::vector<std::string> xpm;  // XPM lines: header, colours, pixel rows
    std::vector<std::uint8_t> png; // a PNG file's bytes
};

class Resources {
  public:
    // `xpm`: an XPM image as a C array of lines (the form XPM files declare);
    // the line count is taken from its header "width height colours chars".
    // False, and nothing registered, when the header is malformed.
    bool addIconXpm(std::string_view name, const char* const* xpm);
    bool addIconPng(std::string_view name, std::span<const std::uint8_t> png);
    void addMenu(std::string_view name, MenuDescription menu);

    // nullptr / nullopt: not found.
    const IconResource* findIcon(std::string_view name) const;
    std::optional<MenuDescription> findMenu(std::string_view name) const;

  private:
    static std::string key(std::string_view name);

    std::map<std::string, IconResource> icons_;
    std::map<std::string, MenuDescription> menus_;
};

} // namespace platform
