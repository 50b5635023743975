#pragma once
// --help and --version, answered by every program before anything starts
// (no window, no device, no file).

#include <cstdio>
#include <cstring>

#include "apps/version.h"

namespace apps {

// True when an argument is exactly "--help" or "--version": the usage or
// "NAME VERSION" is then on standard output and the program exits 0.
inline bool answerInfoOption(int argc, char** argv, const char* name, const char* usage) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(usage, stdout);
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", name, CW_VERSION);
            return true;
        }
    }
    return false;
}

} // namespace apps
