#pragma once
// What the programs take from their environment. main() reads it once, with
// readEnvironment(std::getenv), and hands it to the Platform and the audio
// devices; nothing below main() reads the environment, so a test states the
// configuration it runs with instead of setting variables.

#include <functional>
#include <string>
#include <string_view>

namespace platform {

// The audio devices' configuration.
struct AudioDeviceConfig {
    // SELVANE_INPUT: the default capture device (index -1) reads this audio
    // file (any rate and channel count), then gives silence. Empty: a card.
    std::string inputFile;
    // SELVANE_OUTPUT: the default playback device writes a 16-bit mono
    // 8000 Hz WAV file here. Empty: a card.
    std::string outputFile;
    // SELVANE_SPEED: file devices run this many times faster than real
    // time, 1 … 1000000 (anything else in the variable counts as 1).
    int fileSpeed = 1;
    // SELVANE_INPUT_DEVICE / SELVANE_OUTPUT_DEVICE: without a file, the
    // default device of that direction is the card whose name equals this
    // or contains it (ASCII case ignored). Empty: the system's default card.
    std::string inputCard;
    std::string outputCard;
};

struct Environment {
    AudioDeviceConfig audio;
    // The display the toolkit would find: DISPLAY, WAYLAND_DISPLAY, and
    // whether QT_QPA_PLATFORM already names a toolkit platform.
    bool x11Display = false;
    bool waylandDisplay = false;
    bool toolkitPlatformChosen = false;
    // CW_NO_MODAL=1: message boxes are written to standard error instead of
    // waiting for a click (unattended runs).
    bool noModalBoxes = false;
    // CW_FIRST_WINDOW_POS="x,y": where the first window made with a default
    // position goes, in screen pixels (set by a program that starts this one).
    bool firstWindowPositionGiven = false;
    int firstWindowX = 0;
    int firstWindowY = 0;
};

// The value of a variable, or nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// Reads the variables above through `lookup`. An empty value counts as
// unset; a malformed one as unset too.
Environment readEnvironment(const EnvironmentLookup& lookup);

// The variable that carries the first-window hint to a started program.
inline constexpr const char* firstWindowPositionVariable = "CW_FIRST_WINDOW_POS";
// "CW_FIRST_WINDOW_POS=x,y", an entry for spawnProcess.
std::string firstWindowPositionEntry(int x, int y);
// Parses "x,y": two decimal integers (optional '-'), nothing else.
bool parseWindowPosition(std::string_view text, int& x, int& y);

} // namespace platform
