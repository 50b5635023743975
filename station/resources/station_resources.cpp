#include "station/resources/station_resources.h"

#include "platform/cp1251.h"
#include "platform/resources.h"

#include <string>

namespace station {

using namespace platform::literals;

// Idle: a microphone with a black head (grey grille) and a cyan body on a
// grey stand, no rays.
const char* const pauseIconXpm[] = {
    "32 32 5 1",
    ". c None",
    "k c #000000",
    "s c #404040",
    "c c #00FFFF",
    "g c #808080",
    "................................",
    "................................",
    "..............kkkk..............",
    ".............kkkkkk.............",
    "............kkkkkkkk............",
    "............ssssssss............",
    "...........kkkkkkkkkk...........",
    "...........kkkkkkkkkk...........",
    "...........kssssssssk...........",
    "...........kkkkkkkkkk...........",
    "...........kkkkkkkkkk...........",
    "............ssssssss............",
    "............kkkkkkkk............",
    ".............cccccc.............",
    ".............cccccc.............",
    "........gg...cccccc...g.........",
    ".........g...cccccc...g.........",
    ".........g...cccccc...g.........",
    ".........g...cccccc...g.........",
    "..........g..cccccc..g..........",
    "..........gg.cccccc.gg..........",
    "...........ggccccccgg...........",
    ".............gccccg.............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "..........gggggggggggg..........",
    "..........gggggggggggg..........",
    "................................",
    "................................",
    nullptr,
};

// Sending: a red microphone (dark red grille) with short red rays around
// its head.
const char* const sendIconXpm[] = {
    "32 32 4 1",
    ". c None",
    "r c #FF0000",
    "d c #800000",
    "g c #808080",
    "................................",
    "................................",
    "....r.........rrrr.........r....",
    ".....rr......rrrrrr......rr.....",
    ".......r....rrrrrrrr....r.......",
    "............dddddddd............",
    "...........rrrrrrrrrr...........",
    "...........rrrrrrrrrr...........",
    "...rrrr....rddddddddr....rrrr...",
    "...........rrrrrrrrrr...........",
    "...........rrrrrrrrrr...........",
    "............dddddddd............",
    ".......r....rrrrrrrr....r.......",
    ".....rr......rrrrrr......rr.....",
    "....r........rrrrrr........r....",
    "........gg...rrrrrr...g.........",
    ".........g...rrrrrr...g.........",
    ".........g...rrrrrr...g.........",
    ".........g...rrrrrr...g.........",
    "..........g..rrrrrr..g..........",
    "..........gg.rrrrrr.gg..........",
    "...........ggrrrrrrgg...........",
    ".............grrrrg.............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "...............gg...............",
    "..........gggggggggggg..........",
    "..........gggggggggggg..........",
    "................................",
    "................................",
    nullptr,
};

// Receiving: a green loudspeaker with three bright green sound waves.
const char* const recvIconXpm[] = {
    "32 32 4 1",
    ". c None",
    "G c #00C000",
    "D c #006000",
    "w c #00FF00",
    "................................",
    "................................",
    "................................",
    ".................D..............",
    "................DD..............",
    "...............DGD.....ww.......",
    "..............DGGD......ww......",
    ".............DGGGD.......ww.....",
    "............DGGGGD........ww....",
    "...........DGGGGGD....w....w....",
    "..........DGGGGGGD....ww...ww...",
    "...DDDDDDDGGGGGGGD.....ww...w...",
    "...DGGGGGGGGGGGGGD..w...w...ww..",
    "...DGGGGGGGGGGGGGD..w...ww...w..",
    "...DGGGGGGGGGGGGGD..ww...w...w..",
    "...DGGGGGGGGGGGGGD...w...w...w..",
    "...DGGGGGGGGGGGGGD...w...w...w..",
    "...DGGGGGGGGGGGGGD..ww...w...w..",
    "...DGGGGGGGGGGGGGD..w...ww...w..",
    "...DGGGGGGGGGGGGGD..w...w...ww..",
    "...DDDDDDDGGGGGGGD.....ww...w...",
    "..........DGGGGGGD....ww...ww...",
    "...........DGGGGGD....w....w....",
    "............DGGGGD........ww....",
    ".............DGGGD.......ww.....",
    "..............DGGD......ww......",
    "...............DGD.....ww.......",
    "................DD..............",
    ".................D..............",
    "................................",
    "................................",
    "................................",
    nullptr,
};

bool registerStationResources(platform::Resources& resources) {
    bool iconsOk = resources.addIconXpm(pauseIconName, pauseIconXpm);
    iconsOk = resources.addIconXpm(sendIconName, sendIconXpm) && iconsOk;
    iconsOk = resources.addIconXpm(recvIconName, recvIconXpm) && iconsOk;

    // Each menu is one popup "&Режимы" (modes) holding its fixed first item.
    const std::string modes{"&Режимы"_cp1251};
    resources.addMenu(trayMenuName, {modes, {{exitCommandId, "&Exit"}}});
    resources.addMenu(inputMenuName, {modes, {{defaultInputCommandId, std::string{"&Вход по умолчанию"_cp1251}}}});
    resources.addMenu(outputMenuName, {modes, {{defaultOutputCommandId, std::string{"&Выход по умолчанию"_cp1251}}}});
    return iconsOk;
}

} // namespace station
