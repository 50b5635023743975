#pragma once
// The station's one way out of an unrecoverable error: leave the reason in
// "ErrorWav.txt" and on standard error, sound "chord.wav", ask the message
// loop to end with fatalExitCode and drop the network connections. The
// caller's own error path still runs after it.

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

namespace platform {
class AudioSystem;
}

namespace station {

// Exit code of a station that ended through fatalStop; a normal quit is 0.
inline constexpr int fatalExitCode = 1;

// What fatalStop works with. Created by start-up; the network code fills
// closeConnections once its sockets exist. Everything is optional: an empty
// function is skipped, a null audio system plays nothing.
struct FatalStopContext {
    // Plays "chord.wav"; nullptr for none.
    platform::AudioSystem* audio = nullptr;
    // Posts the quit message with the given exit code (Platform::postQuit).
    std::function<void(int)> postQuit;
    // Server: closes the connection of every occupied client slot without
    // marking the slots free. Client: closes the connection to the server.
    std::function<void()> closeConnections;
    // Where "ErrorWav.txt" is written and the last place "chord.wav" is
    // looked for.
    std::string workingDirectory = ".";
    // The first place "chord.wav" is looked for: the program's own directory
    // (a build tree keeps it there).
    std::string executableDirectory = programDirectory();
    // The second place: the installed data directory ("" for none).
    std::string dataDirectory = installedDataDirectory(executableDirectory);
    // Where the reason is told as one UTF-8 line "selvane: …"; nullptr for
    // nowhere.
    std::FILE* errorStream = stderr;
    // Set by fatalStop: the station is ending because of an error.
    bool stopped = false;

    // Directory of the running program, "" when it cannot be found.
    static std::string programDirectory();
    // The data directory of a program installed in `programDirectory`
    // (<prefix>/share/selvane for <prefix>/bin), "" when that is "".
    static std::string installedDataDirectory(const std::string& programDirectory);
};

// The sound file to play: "chord.wav" beside the program if it is there,
// else in the data directory, else in the working directory; "" when none
// has it.
std::string chordFilePath(const FatalStopContext& context);

// `messageCp1251`: the reason, Windows-1251 text, written to "ErrorWav.txt"
// without a line end (a file that cannot be written is skipped) and to the
// error stream as UTF-8 with a line end. Returns when the sound has
// played (at once when nothing can play it) and quit has been posted. Main
// thread.
void fatalStop(FatalStopContext& context, std::string_view messageCp1251);

} // namespace station
