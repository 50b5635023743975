// selvane: the CW filter station. Everything it does is in station::Station;
// this file only joins the command line and hands over the platform.

#include "platform/platform.h"
#include "station/shell/options.h"
#include "station/shell/station.h"

int main(int argc, char** argv) {
    const std::string commandLine = station::joinArguments(argc, argv);
    platform::Platform platform(argc, argv);
    int code = 0;
    {
        station::Station station(platform, commandLine);
        code = station.run();
    }
    return code;
}
