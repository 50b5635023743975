// cwdecode: CW (Morse) from a sound file or from raw audio on standard input
// to text on standard output, through the station's band filter and the
// weak-signal (or the classic) decoder.
//
//   cwdecode [options] FILE
//   rtl_fm ... | cwdecode --rate 48000 -
//
// Exit codes: 0 when the input was decoded (whatever text it gave), 2 for a
// bad command line or an input that cannot be read as sound.

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apps/version.h"
#include "decoder/audio_decoding.h"
#include "decoder/cwdecode_command.h"
#include "dsp/audio_constants.h"
#include "platform/audio_file.h"
#include "platform/kernel.h"

namespace {

constexpr int exitBadInput = 2;

int fail(const std::string& message) {
    std::fprintf(stderr, "cwdecode: %s\n", message.c_str());
    return exitBadInput;
}

// Prints characters as they are decided, flushed at once so that a pipe
// shows the text as it comes.
class Printer {
  public:
    explicit Printer(decoder::CwdecodeOutput output) : output_(output) {}
    void print(std::span<const dsp::DecodedCharacter> decided) {
        for (const dsp::DecodedCharacter& c : decided) {
            const std::string s = decoder::formatCharacter(c, output_);
            std::fwrite(s.data(), 1, s.size(), stdout);
            printedText_ = printedText_ || output_ == decoder::CwdecodeOutput::Text;
        }
        if (!decided.empty()) {
            std::fflush(stdout);
        }
    }
    // Text output ends with a newline once something was printed.
    void finish() {
        if (printedText_) {
            std::fputc('\n', stdout);
        }
        std::fflush(stdout);
    }

  private:
    decoder::CwdecodeOutput output_;
    bool printedText_ = false;
};

// A one-line bar on standard error, redrawn when the whole percent changes.
class ProgressBar {
  public:
    void show(std::int64_t done, std::int64_t total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        if (percent == shown_) {
            return;
        }
        shown_ = percent;
        constexpr int width = 40;
        std::array<char, width + 1> bar{};
        for (int i = 0; i < width; ++i) {
            bar[static_cast<std::size_t>(i)] = i < percent * width / 100 ? '#' : '.';
        }
        std::fprintf(stderr, "\r[%s] %3d%%", bar.data(), percent);
        std::fflush(stderr);
    }
    void clear() {
        if (shown_ >= 0) {
            std::fprintf(stderr, "\r%*s\r", 48, "");
            std::fflush(stderr);
        }
    }

  private:
    int shown_ = -1;
};

int decodeFile(const decoder::CwdecodeCommand& command, Printer& printer) {
    platform::SoundFileReader reader;
    std::string error;
    if (!reader.open(command.input, dsp::sampleRateHz, error)) {
        return fail(command.input + ": " + error);
    }
    // The whole file is read first: the tone is sought over all of it, so a
    // signal that starts late is found as surely as one that starts at once.
    std::vector<std::int16_t> audio;
    std::array<std::int16_t, 8192> chunk{};
    for (std::size_t n; (n = reader.read(chunk.data(), chunk.size())) > 0;) {
        audio.insert(audio.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    }
    decoder::AudioDecodingOptions options = command.decoding;
    if (options.pitchHz == 0.0) {
        options.pitchHz = decoder::findStrongestTone(audio).pitchHz;
        if (options.pitchHz == 0.0) {
            return 0; // silence
        }
    }
    decoder::AudioDecoder streaming(options);
    // A bar for long files only, and only where it does not run into the
    // text on the same terminal.
    constexpr std::size_t longFileSamples = 60 * dsp::sampleRateHz;
    const bool bar = audio.size() > longFileSamples && platform::isTerminal(stderr) && !platform::isTerminal(stdout);
    ProgressBar progress;
    const std::span<const std::int16_t> all(audio);
    for (std::size_t at = 0; at < all.size(); at += dsp::sampleRateHz) {
        const std::size_t n = std::min<std::size_t>(dsp::sampleRateHz, all.size() - at);
        printer.print(streaming.feed(all.subspan(at, n)));
        if (bar) {
            progress.show(static_cast<std::int64_t>(at + n), static_cast<std::int64_t>(all.size()));
        }
    }
    printer.print(streaming.flush());
    progress.clear();
    return 0;
}

// Raw signed 16-bit little-endian mono at command.rawRateHz, decoded as it
// arrives.
int decodeStandardInput(const decoder::CwdecodeCommand& command, Printer& printer) {
    platform::StreamResampler resampler;
    if (!resampler.init(command.rawRateHz, dsp::sampleRateHz)) {
        return fail("cannot convert from " + std::to_string(command.rawRateHz) + " samples per second");
    }
    decoder::AudioDecoder streaming(command.decoding);
    // Small reads keep the delay short at low rates; a pipe delivers what
    // it has in any case.
    std::array<unsigned char, 2048> bytes{};
    std::size_t held = 0; // a byte of a sample whose second byte is still to come
    std::vector<std::int16_t> samples;
    std::vector<std::int16_t> converted;
    samples.reserve(bytes.size() / 2 + 1);
    for (;;) {
        const std::size_t got = std::fread(bytes.data() + held, 1, bytes.size() - held, stdin);
        const std::size_t available = held + got;
        const bool end = got == 0;
        if (end && std::ferror(stdin) != 0) {
            return fail("cannot read standard input");
        }
        samples.clear();
        for (std::size_t i = 0; i + 1 < available; i += 2) {
            samples.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8))));
        }
        held = available % 2;
        if (held != 0) {
            bytes[0] = bytes[available - 1];
        }
        converted.clear();
        resampler.process(samples, end, converted);
        printer.print(streaming.feed(converted));
        if (end) {
            break;
        }
    }
    printer.print(streaming.flush());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const decoder::ParsedCwdecodeCommand parsed = decoder::parseCwdecodeArguments(args);
    if (!parsed.error.empty()) {
        return fail(parsed.error + " (cwdecode --help tells more)");
    }
    const decoder::CwdecodeCommand& command = parsed.command;
    if (command.help) {
        std::fputs(decoder::cwdecodeUsage().data(), stdout);
        return 0;
    }
    if (command.version) {
        std::puts("cwdecode " CW_VERSION);
        return 0;
    }
    Printer printer(command.output);
    const int code = command.input == "-" ? decodeStandardInput(command, printer) : decodeFile(command, printer);
    printer.finish();
    return code;
}
