#include "decoder/decoder_program.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "link/link_socket.h"
#include "platform/cp1251.h"
#include "platform/kernel.h"

namespace decoder {

namespace {

constexpr const char* stationProgram = "selvane";
constexpr int stationWindowX = 10;
constexpr int stationWindowY = 371;
// Sample datagrams read in one pass of the loop, at most. Each one is drawn,
// so the pass stays short: a stop request never waits behind more than
// these, even when the decoder cannot keep up with the link.
constexpr int linkDatagramsPerPass = 16;

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
        std::fwrite(utf8, 1, n, echo_);
        std::fflush(echo_);
    }
}

void LinkControlSink::send(const locallink::ControlDatagram& datagram) {
    locallink::sendLinkDatagram(socket_, &datagram, sizeof datagram, locallink::stationPort);
}

std::string findProgram(std::string_view name, const std::vector<std::string>& directories) {
    for (const std::string& dir : directories) {
        if (dir.empty()) {
            continue;
        }
        std::string candidate = dir;
        if (candidate.back() != '/') {
            candidate += '/';
        }
        candidate += name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

std::vector<std::string> stationSearchDirectories() {
    std::vector<std::string> dirs{"."};
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        std::string path(exe, static_cast<std::size_t>(n));
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            dirs.push_back(slash == 0 ? "/" : path.substr(0, slash));
        }
    }
    if (const char* pathVariable = std::getenv("PATH"); pathVariable != nullptr) {
        std::string_view rest(pathVariable);
        while (!rest.empty()) {
            const std::size_t colon = rest.find(':');
            // An empty PATH entry means the current directory, already first.
            dirs.emplace_back(rest.substr(0, colon));
            rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        }
    }
    return dirs;
}

long startStation() {
    const std::string path = findProgram(stationProgram, stationSearchDirectories());
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

int runDecoder(platform::Platform& platform, DecoderKind initial) {
    using namespace platform::literals;

    TextWindowSink text(platform, stdout);
    LinkControlSink control;
    DecoderApp app(control, text, initial); // the signal picture: white, black on light green
    platform::SocketNotifiers notifiers(platform);
    platform::WindowHandle mainWindow = 0;

    const auto procedure = [&](platform::WindowHandle window, unsigned message, platform::WParam wParam,
                               platform::LParam lParam) -> platform::LResult {
        if (message == locallink::LINK_SOCKET_MESSAGE) {
            if (platform::loWord(static_cast<std::uintptr_t>(lParam)) != platform::FD_READ) {
                return 0;
            }
            locallink::receiveWaitingDatagrams(
                static_cast<platform::Socket>(wParam), linkDatagramsPerPass,
                [&](const std::uint8_t* bytes, std::size_t length) {
                    if (!app.acceptDatagram({bytes, length})) {
                        return;
                    }
                    platform::WindowContext context = platform.windowContext(window);
                    if (context) {
                        app.drawAndDecode(*context);
                    }
                });
            return 0;
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

    const platform::Socket socket =
        locallink::openLinkSocket(platform, notifiers, mainWindow, locallink::decoderPort);
    control.setSocket(socket);

    startStation();

    text.setEdit(platform.createEdit(mainWindow, 525, 341, 365, 215));

    const int code = platform.runLoop();

    app.sendControl(locallink::Quit, 0, 0, 0, 0);
    locallink::closeLinkSocket(notifiers, socket);
    control.setSocket(platform::invalidSocket);
    // The procedure refers to objects of this function: the window goes
    // before they do.
    platform.destroyWindow(mainWindow);
    return code;
}

} // namespace decoder
