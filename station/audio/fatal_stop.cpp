#include "station/audio/fatal_stop.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/audio_device.h"
#include "platform/cp1251.h"
#include "platform/files.h"
#include "platform/kernel.h"

namespace station {
namespace {

constexpr const char* errorFileName = "ErrorWav.txt";
constexpr const char* chordFileName = "chord.wav";

std::string joinPath(const std::string& directory, const char* name) {
    if (directory.empty()) {
        return name;
    }
    return (std::filesystem::path(directory) / name).string();
}

bool isRegularFile(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

// Replaces the file's contents with the message; any failure (read-only
// directory, full disk, something other than a regular file in its place)
// only means the reason is not left behind.
void writeErrorFile(const std::string& path, std::string_view message) {
    platform::replaceRegularFile(path, message.data(), message.size());
}

} // namespace

std::string FatalStopContext::programDirectory() { return platform::executableDirectory(); }

std::string FatalStopContext::installedDataDirectory(const std::string& programDirectory) {
    if (programDirectory.empty()) {
        return {};
    }
    return (std::filesystem::path(programDirectory) / CW_DATA_DIR_FROM_PROGRAM).lexically_normal().string();
}

std::string chordFilePath(const FatalStopContext& context) {
    for (const std::string* directory : {&context.executableDirectory, &context.dataDirectory}) {
        if (!directory->empty()) {
            std::string candidate = joinPath(*directory, chordFileName);
            if (isRegularFile(candidate)) {
                return candidate;
            }
        }
    }
    std::string inWorking = joinPath(context.workingDirectory, chordFileName);
    return isRegularFile(inWorking) ? inWorking : std::string();
}

void fatalStop(FatalStopContext& context, std::string_view messageCp1251) {
    context.stopped = true;
    writeErrorFile(joinPath(context.workingDirectory, errorFileName), messageCp1251);
    if (context.errorStream != nullptr) {
        std::fprintf(context.errorStream, "selvane: %s\n", platform::cp1251ToUtf8(messageCp1251).c_str());
        std::fflush(context.errorStream);
    }

    const std::string chord = chordFilePath(context);
    if (!chord.empty() && context.audio != nullptr) {
        context.audio->playSoundFileSync(chord);
    }
    // Quit first, then drop the connections, then quit again: the loop ends
    // on the first one it reads, whichever handler is running now.
    if (context.postQuit) {
        context.postQuit(fatalExitCode);
    }
    if (context.closeConnections) {
        context.closeConnections();
    }
    if (context.postQuit) {
        context.postQuit(fatalExitCode);
    }
}

} // namespace station
