// selvane: the CW filter station. Everything it does is in station::Station;
// this file only joins the command line and hands over the platform.

#include <cstdio>

#include "platform/platform.h"
#include "station/shell/options.h"
#include "station/shell/station.h"

int main(int argc, char** argv) {
    const std::string commandLine = station::joinArguments(argc, argv);
    if (const auto error = station::optionRangeError(commandLine)) {
        std::fprintf(stderr, "selvane: %s\n", error->c_str());
        return 2; // a value no run can mean
    }
    platform::Platform platform(argc, argv);
    int code = 0;
    {
        station::Station station(platform, commandLine);
        code = station.run();
    }
    return code;
}
