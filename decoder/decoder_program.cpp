#include "decoder/decoder_program.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "link/link_socket.h"
#include "platform/cp1251.h"
#include "platform/environment.h"
#include "platform/kernel.h"

namespace decoder {

namespace fs = std::filesystem;

namespace {

constexpr const char* stationProgram = "selvane";
// Window class of a station without a relay role.
constexpr const char* plainStationClass = "Tarnello";
constexpr int stationWindowX = 10;
constexpr int stationWindowY = 371;
// Sample datagrams read in one pass of the loop, at most. Each one is drawn,
// so the pass stays short: a stop request never waits behind more than
// these, even when the decoder cannot keep up with the link.
constexpr int linkDatagramsPerPass = 16;
// While datagrams come at the pace of real time (fifty a second), the link
// is read by a timer this far apart instead of on each arrival: a pass takes
// the two or so that came meanwhile and shows the picture once, so the
// program wakes half as often and the text comes at most this much later.
// The timer takes over after two passes on the notification at least
// linkPacedGap apart, and hands back to the notification when a pass finds
// nothing, or more than linkTimerMostPerPass (a station replaying faster
// than real time, whose datagrams would overflow the socket in the wait).
constexpr unsigned linkTimerId = 1;
constexpr unsigned linkPassMs = 40;
constexpr auto linkPacedGap = std::chrono::milliseconds(15);
constexpr int linkTimerMostPerPass = 4;
// Within a pass, the picture is shown only when the last one shown is at
// least this old: a screen shows no more than this anyway, and each picture
// shown costs a copy into the window, another into the toolkit's buffer and
// one to the display server. A picture held back is shown by the next pass
// of the timer, whether or not it finds datagrams.
constexpr auto showInterval = std::chrono::milliseconds(35);
// Where the station leaves the reason of a fatal stop, and how much of it
// is read.
constexpr const char* errorFileName = "ErrorWav.txt";
constexpr std::size_t errorFileReadLimit = 1024;
// How long the station may take to quit once told, ms.
constexpr long stationQuitWaitMs = 5000;
// Row of the line saying that the station stopped, under the status line.
constexpr int stationStatusY = statusY + 15;

} // namespace

std::size_t cp1251ByteToUtf8(unsigned char cp1251Byte, char (&out)[4]) {
    const char32_t c = cp1251Byte < 0x80 ? char32_t{cp1251Byte} : char32_t{platform::cp1251HighHalf[cp1251Byte - 0x80]};
    if (c == 0 && cp1251Byte != 0) {
        return 0;
    }
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
}

void TextWindowSink::append(unsigned char cp1251Byte) {
    if (edit_ != 0) {
        // A typed character: the byte as the character code, no key data.
        platform_.sendMessage(edit_, platform::WM_CHAR, cp1251Byte, 0);
    }
    if (echo_ != nullptr) {
        char utf8[4];
        const std::size_t n = cp1251ByteToUtf8(cp1251Byte, utf8);
        if (std::fwrite(utf8, 1, n, echo_) != n || std::fflush(echo_) != 0) {
            echo_ = nullptr;
            if (onEchoFailed_) {
                onEchoFailed_();
            }
        }
    }
}

void LinkControlSink::send(const locallink::ControlDatagram& datagram) {
    locallink::sendLinkDatagram(socket_, &datagram, sizeof datagram, locallink::stationPort);
}

std::vector<std::string> stationSearchDirectories(std::string_view searchPath) {
    std::vector<std::string> dirs{"."};
    if (std::string own = platform::executableDirectory(); !own.empty()) {
        dirs.push_back(std::move(own));
    }
    {
        std::string_view rest(searchPath);
        while (!rest.empty()) {
            const std::size_t colon = rest.find(':');
            // An empty PATH entry means the current directory, already first.
            dirs.emplace_back(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        }
    }
    return dirs;
}

platform::ProcessId startStation(std::string_view searchPath) {
    const std::string path = platform::findExecutable(stationProgram, stationSearchDirectories(searchPath));
    if (path.empty()) {
        return -1;
    }
    // The station handles SIGINT/SIGTERM itself once started; holding them
    // until then lets a stop during its start-up still end it normally.
    platform::SpawnOptions options;
    options.holdStopSignals = true;
    return platform::spawnProcess(path, {stationProgram, "UDPSEND"},
                                  {platform::firstWindowPositionEntry(stationWindowX, stationWindowY)}, options);
}

std::string stationStoppedText(int exitCode, std::string_view errorFileCp1251) {
    std::string text = "the station stopped (exit code " + std::to_string(exitCode) + ")";
    if (!errorFileCp1251.empty()) {
        text += ": " + platform::cp1251ToUtf8(errorFileCp1251);
    }
    return text;
}

namespace {

// The station's reason, when it wrote "ErrorWav.txt" (in the directory both
// programs share) after `since`; empty otherwise. Only a regular file is
// read, and only its beginning.
std::string freshErrorFile(fs::file_time_type since) {
    const fs::path path = errorFileName;
    std::error_code error;
    if (!fs::is_regular_file(fs::symlink_status(path, error)) || fs::last_write_time(path, error) < since || error) {
        return {};
    }
    std::ifstream file(path, std::ios::binary);
    std::string text(errorFileReadLimit, '\0');
    file.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    return text;
}

// Quit has been sent: the station gets a while to store its band and go,
// then is asked to stop. Either way it is reaped.
void awaitStation(platform::ProcessId station) {
    if (platform::waitProcess(station, stationQuitWaitMs) < 0 && platform::terminateProcess(station)) {
        platform::waitProcess(station, stationQuitWaitMs);
    }
}

} // namespace

bool parseDecoderArguments(std::span<const std::string_view> args, DecoderKind& kind, std::string& error) {
    constexpr std::string_view option = "--decoder";
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view name;
        if (args[i].starts_with(option) && args[i].size() > option.size() && args[i][option.size()] == '=') {
            name = args[i].substr(option.size() + 1);
        } else if (args[i] == option) {
            name = i + 1 < args.size() ? args[++i] : std::string_view{};
        } else {
            continue;
        }
        const std::optional<DecoderKind> named = parseDecoderKind(name);
        if (!named) {
            error = "unknown decoder '" + std::string(name) + "' (weak or classic)";
            return false;
        }
        kind = *named;
    }
    return true;
}

int runDecoder(platform::Platform& platform, DecoderKind initial, std::string_view searchPath) {
    using namespace platform::literals;

    // Headless, nobody reads the window: with standard output gone there is
    // nothing left to do, so the decoder ends as on SIGTERM.
    TextWindowSink text(platform, stdout, [&platform] {
        if (platform.headless()) {
            platform.postQuit(0);
        }
    });
    LinkControlSink control;
    DecoderApp app(control, text, initial); // the signal picture: white, black on light green
    platform::SocketNotifiers notifiers(platform);
    platform::WindowHandle mainWindow = 0;
    std::chrono::steady_clock::time_point lastShown{};

    platform::Socket socket = platform::invalidSocket;
    std::chrono::steady_clock::time_point lastNotifiedPass{};
    int pacedPasses = 0; // passes on the notification in a row, each linkPacedGap after the last

    // One pass over the link: decodes the datagrams waiting, at most
    // linkDatagramsPerPass, and shows the picture if it is due (or if the
    // pass found nothing, so that the last one is not left unshown).
    // Returns the number read.
    const auto readLink = [&](platform::WindowHandle window) {
        const int read = locallink::receiveWaitingDatagrams(socket, linkDatagramsPerPass,
                                                            [&](const std::uint8_t* bytes, std::size_t length) {
                                                                if (app.acceptDatagram({bytes, length})) {
                                                                    app.drawAndDecode(nullptr);
                                                                }
                                                            });
        const auto now = std::chrono::steady_clock::now();
        if (app.heldBack() && (read == 0 || now - lastShown >= showInterval)) {
            if (platform::WindowContext context = platform.windowContext(window)) {
                lastShown = now;
                app.presentHeldBack(*context);
            }
        }
        return read;
    };

    const auto procedure = [&](platform::WindowHandle window, unsigned message, platform::WParam wParam,
                               platform::LParam lParam) -> platform::LResult {
        if (message == locallink::LINK_SOCKET_MESSAGE) {
            if (platform::loWord(static_cast<std::uintptr_t>(lParam)) != platform::FD_READ) {
                return 0;
            }
            const auto now = std::chrono::steady_clock::now();
            pacedPasses = now - lastNotifiedPass >= linkPacedGap ? pacedPasses + 1 : 0;
            lastNotifiedPass = now;
            if (readLink(window) <= linkTimerMostPerPass && pacedPasses >= 2) {
                // Quiet until the timer: the datagrams that come meanwhile
                // wait in the socket.
                notifiers.asyncSelect(socket, window, locallink::LINK_SOCKET_MESSAGE, 0);
                platform.setTimer(window, linkTimerId, linkPassMs);
            }
            return 0;
        }
        if (message == platform::WM_TIMER && wParam == linkTimerId) {
            const int read = readLink(window);
            if (read == 0 || read > linkTimerMostPerPass) {
                platform.killTimer(window, linkTimerId);
                pacedPasses = 0;
                notifiers.asyncSelect(socket, window, locallink::LINK_SOCKET_MESSAGE, platform::FD_READ);
            }
            return 0;
        }
        if (message == platform::WM_SIZE) {
            app.statusOverdrawn(); // a smaller surface lost what lay beyond its new edge
        }
        if (message == platform::WM_DESTROY) {
            platform.postQuit(0);
            return 0;
        }
        if (app.handleInput(message, wParam, lParam)) {
            return 0;
        }
        return platform.defWindowProc(window, message, wParam, lParam);
    };

    platform::WindowClass windowClass;
    windowClass.name = "okno";
    windowClass.procedure = procedure;
    windowClass.redrawOnSize = true;
    windowClass.background = 0xFFFFFF;
    if (!platform.registerClass(windowClass)) {
        return 0;
    }

    platform::WindowOptions options;
    options.className = "okno";
    options.captionCp1251 = " CW";
    options.style = platform::WindowStyle::Overlapped;
    options.useDefaultPosition = false;
    options.x = 1;
    options.y = 1;
    options.width = 900;
    options.height = 600;
    mainWindow = platform.createWindow(options);
    if (mainWindow == 0) {
        return 0;
    }

    socket = locallink::openLinkSocket(platform, notifiers, mainWindow, locallink::decoderPort);
    control.setSocket(socket);

    const fs::file_time_type stationStarted = fs::file_time_type::clock::now();
    // A station already linked on this desktop serves this decoder too; one
    // started now would only meet it and leave.
    const bool stationShared = platform.classWindowExists(plainStationClass);
    if (stationShared) {
        std::fputs("morvel: a station already runs on this desktop; decoding what it sends\n", stderr);
    }
    const platform::ProcessId station = stationShared ? platform::noProcess : startStation(searchPath);
    bool stationRuns = station > 0;
    if (!stationRuns && !stationShared) {
        std::fprintf(stderr,
                     "morvel: cannot start the station \"%s\" (looked in the current directory, beside "
                     "morvel and on PATH)\n",
                     stationProgram);
        if (platform.headless()) {
            platform.postQuit(1);
        }
    }
    platform.watchProcess(station, [&](int exitCode) {
        stationRuns = false;
        const std::string reason = freshErrorFile(stationStarted);
        std::fprintf(stderr, "morvel: %s\n", stationStoppedText(exitCode, reason).c_str());
        std::string status = "Станция остановлена, код "_cp1251.c_str() + std::to_string(exitCode);
        if (!reason.empty()) {
            status += ": " + reason;
        }
        if (platform::WindowContext context = platform.windowContext(mainWindow)) {
            context->textOut(10, stationStatusY, status);
            app.statusOverdrawn(); // this line's cells reach into the status line
        }
        if (platform.headless()) {
            platform.postQuit(exitCode);
        }
    });

    text.setEdit(platform.createEdit(mainWindow, 525, 341, 365, 215));

    const int code = platform.runLoop();

    app.sendControl(locallink::Quit, 0, 0, 0, 0);
    if (stationRuns) {
        awaitStation(station);
    }
    locallink::closeLinkSocket(notifiers, socket);
    control.setSocket(platform::invalidSocket);
    // The procedure refers to objects of this function: the window goes
    // before they do.
    platform.destroyWindow(mainWindow);
    return code;
}

} // namespace decoder
