#pragma once
// The decoder program around DecoderApp: its real sinks (the text window with
// an echo on standard output, the link socket), the station's start, and the
// whole run from start-up to shutdown.

#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decoder/decoder_app.h"
#include "platform/kernel.h"
#include "platform/platform.h"
#include "platform/sockets.h"

namespace decoder {

// UTF-8 of one Windows-1251 byte into `out`; returns the byte count, 1 … 3
// (0 for 0x98, the one byte without a character).
std::size_t cp1251ByteToUtf8(unsigned char cp1251Byte, char (&out)[4]);

// Appends decoded text to the text window as typed characters and echoes
// every byte to `echo` as UTF-8, flushed at once, so a headless run can be
// read as it decodes. `echo` may be null.
// A failed echo (the reader of standard output went away) stops the echo
// and calls `onEchoFailed` once.
class TextWindowSink final : public TextSink {
  public:
    TextWindowSink(platform::Platform& platform, std::FILE* echo, std::function<void()> onEchoFailed = {})
        : platform_(platform), echo_(echo), onEchoFailed_(std::move(onEchoFailed)) {}
    // The text window, once it exists; 0 delivers to the echo only.
    void setEdit(platform::WindowHandle edit) { edit_ = edit; }
    void append(unsigned char cp1251Byte) override;
    bool echoing() const { return echo_ != nullptr; }

  private:
    platform::Platform& platform_;
    std::FILE* echo_;
    std::function<void()> onEchoFailed_;
    platform::WindowHandle edit_ = 0;
};

// Sends commands to the station over the link; nothing without a socket.
class LinkControlSink final : public ControlSink {
  public:
    void setSocket(platform::Socket socket) { socket_ = socket; }
    void send(const locallink::ControlDatagram& datagram) override;

  private:
    platform::Socket socket_ = platform::invalidSocket;
};

// Where the station is looked for, in order: the current directory, the
// directory of this program's own executable, then the entries of
// `searchPath` (the PATH variable's value: directories separated by ':').
std::vector<std::string> stationSearchDirectories(std::string_view searchPath);

// Starts "selvane UDPSEND" with its first window at screen position
// (10, 371). Returns the process id, −1 when it could not be found or
// started (the decoder then runs without it; nothing is reported).
platform::ProcessId startStation(std::string_view searchPath);

// What morvel says when its station has ended: "the station stopped (exit
// code N)", with the station's reason when it left one in `errorFileCp1251`
// (empty: none). UTF-8, one line, no line end.
std::string stationStoppedText(int exitCode, std::string_view errorFileCp1251);

// morvel's command line (the arguments after the program name):
// "--decoder=weak", "--decoder=classic" or "--decoder NAME" chooses the
// decoder whose text is shown; anything else is left alone, as it always
// was. False, with `error` set to a one-line reason, for a --decoder
// without a known name.
bool parseDecoderArguments(std::span<const std::string_view> args, DecoderKind& kind, std::string& error);

// The decoder from start-up to shutdown: window class "okno", the main
// window, the link socket, the station, the text window, the message loop,
// and at its end Quit to the station, which it then waits for (and stops,
// should it not quit). `initial`: the decoder whose text is shown at start.
// When the station ends by itself the decoder says so on its status line
// and standard error; headless it then ends with the station's exit code.
// Returns the exit code: 0, or that of the station.
int runDecoder(platform::Platform& platform, DecoderKind initial, std::string_view searchPath);

} // namespace decoder
