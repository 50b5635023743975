#include "decoder/cwdecode_command.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

#include "dsp/audio_constants.h"
#include "platform/cp1251.h"

namespace decoder {

namespace {

constexpr std::string_view usage =
    "usage: cwdecode [options] FILE\n"
    "       cwdecode [options] --rate N -\n"
    "Decodes CW (Morse) from a sound file, or from raw signed 16-bit little-endian\n"
    "mono audio at N samples per second on standard input, and prints the text.\n"
    "\n"
    "  --decoder=weak|classic   weak-signal decoder (default) or the classic one\n"
    "  --pitch HZ               tone to listen to, 200 ... 1200 Hz (default: the\n"
    "                           strongest tone between 200 and 1200 Hz)\n"
    "  --band HZ                width of the band filter, 10 ... 1000 Hz (default 100)\n"
    "  --taps N                 band filter length: 64, 128, 256, 512, 1024 (default 256)\n"
    "  --alphabet=latin|russian|ukrainian   Morse alphabet (default latin)\n"
    "  --rate N                 sample rate of the raw input, 1000 ... 384000\n"
    "  --timestamps             one line per character: time, text, WPM, pitch, SNR\n"
    "  --jsonl                  the same as JSON lines\n"
    "  --help, --version\n";

std::optional<double> number(std::string_view text) {
    double v = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(v)) {
        return std::nullopt;
    }
    return v;
}

std::optional<std::int32_t> integer(std::string_view text) {
    std::int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return v;
}

std::optional<dsp::Alphabet> alphabetNamed(std::string_view name) {
    if (name == "latin") {
        return dsp::Latin;
    }
    if (name == "russian") {
        return dsp::Russian;
    }
    if (name == "ukrainian") {
        return dsp::Ukrainian;
    }
    return std::nullopt;
}

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

void appendJsonString(std::string& out, std::string_view utf8) {
    out += '"';
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

// A JSON number with `decimals` places; null for a value not measured.
std::string jsonNumber(double v, int decimals) {
    if (!std::isfinite(v)) {
        return "null";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

} // namespace

std::string_view cwdecodeUsage() { return usage; }

ParsedCwdecodeCommand parseCwdecodeArguments(std::span<const std::string_view> args) {
    ParsedCwdecodeCommand parsed;
    CwdecodeCommand& c = parsed.command;
    bool timestamps = false;
    bool jsonl = false;
    const auto fail = [&](std::string why) {
        parsed.error = std::move(why);
        return parsed;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "-" || !arg.starts_with("-")) {
            if (!c.input.empty()) {
                return fail("only one input: " + quoted(c.input) + " and " + quoted(arg));
            }
            c.input = std::string(arg);
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            c.help = true;
            continue;
        }
        if (arg == "--version") {
            c.version = true;
            continue;
        }
        if (arg == "--timestamps") {
            timestamps = true;
            continue;
        }
        if (arg == "--jsonl") {
            jsonl = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        if (name != "--decoder" && name != "--pitch" && name != "--band" && name != "--taps" && name != "--alphabet" &&
            name != "--rate") {
            return fail("unknown option " + quoted(arg));
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return fail(std::string(name) + " needs a value");
        }
        const std::string bad = "bad value " + quoted(value) + " for " + std::string(name);
        if (name == "--decoder") {
            const auto kind = parseDecoderKind(value);
            if (!kind) {
                return fail(bad + " (weak or classic)");
            }
            c.decoding.kind = *kind;
        } else if (name == "--alphabet") {
            const auto alphabet = alphabetNamed(value);
            if (!alphabet) {
                return fail(bad + " (latin, russian or ukrainian)");
            }
            c.decoding.alphabet = *alphabet;
        } else if (name == "--pitch" || name == "--band") {
            const auto v = number(value);
            if (!v) {
                return fail(bad);
            }
            (name == "--pitch" ? c.decoding.pitchHz : c.decoding.bandwidthHz) = *v;
        } else {
            const auto v = integer(value);
            if (!v) {
                return fail(bad);
            }
            (name == "--taps" ? c.decoding.filterTaps : c.rawRateHz) = *v;
        }
    }
    if (c.help || c.version) {
        return parsed;
    }
    if (timestamps && jsonl) {
        return fail("--timestamps and --jsonl exclude each other");
    }
    c.output = jsonl ? CwdecodeOutput::Jsonl : timestamps ? CwdecodeOutput::Timestamps : CwdecodeOutput::Text;
    if (c.input.empty()) {
        return fail("no input: give a sound file, or --rate N - for raw audio on standard input");
    }
    if (c.input == "-") {
        if (c.rawRateHz == 0) {
            return fail("raw input on standard input needs --rate N");
        }
        if (c.rawRateHz < lowestRawRateHz || c.rawRateHz > highestRawRateHz) {
            return fail("the rate must be between 1000 and 384000 samples per second");
        }
    } else if (c.rawRateHz != 0) {
        return fail("--rate is for raw input on standard input (-) only");
    }
    if (const auto problem = optionsProblem(c.decoding)) {
        return fail(*problem);
    }
    return parsed;
}

std::string formatCharacter(const dsp::DecodedCharacter& character, CwdecodeOutput output) {
    const std::string text = platform::cp1251ToUtf8(character.text);
    const double seconds = static_cast<double>(character.endSample) / dsp::sampleRateHz;
    switch (output) {
    case CwdecodeOutput::Text:
        return text;
    case CwdecodeOutput::Timestamps: {
        char snr[32] = "     -";
        if (std::isfinite(character.snrDb)) {
            std::snprintf(snr, sizeof snr, "%6.1f", static_cast<double>(character.snrDb));
        }
        char line[192];
        std::snprintf(line, sizeof line, "%10.3f  %-6s  %5.1f WPM  %6.1f Hz  %s dB\n", seconds,
                      ('"' + text + '"').c_str(), static_cast<double>(character.wpm),
                      static_cast<double>(character.pitchHz), snr);
        return line;
    }
    case CwdecodeOutput::Jsonl:
        break;
    }
    std::string line = "{\"time\":" + jsonNumber(seconds, 3) + ",\"text\":";
    appendJsonString(line, text);
    line += ",\"wpm\":" + jsonNumber(character.wpm, 1) + ",\"pitch\":" + jsonNumber(character.pitchHz, 1) +
            ",\"snr\":" + jsonNumber(character.snrDb, 1) + "}\n";
    return line;
}

} // namespace decoder
