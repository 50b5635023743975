#pragma once
// The command line and the output lines of cwdecode, the file and pipe
// decoder (apps/cwdecode.cpp does the reading and writing).

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "decoder/audio_decoding.h"
#include "dsp/weak_decoder.h"

namespace decoder {

enum class CwdecodeOutput {
    Text,       // the text as it is decoded
    Timestamps, // one line per character: time, text, WPM, pitch, SNR
    Jsonl,      // the same as one JSON object per line
};

struct CwdecodeCommand {
    AudioDecodingOptions decoding;
    std::string input;          // a sound file, or "-" for raw audio on standard input
    std::int32_t rawRateHz = 0; // --rate: samples per second of the raw input
    CwdecodeOutput output = CwdecodeOutput::Text;
    bool help = false;
    bool version = false;
};

// Raw input rates accepted by --rate, samples per second.
inline constexpr std::int32_t lowestRawRateHz = 1000;
inline constexpr std::int32_t highestRawRateHz = 384000;

struct ParsedCwdecodeCommand {
    CwdecodeCommand command;
    std::string error; // empty when the arguments are usable
};

// Reads the arguments after the program name. Valued options take their
// value after "=" or as the next argument. `error` says what is wrong in a
// few words, for a one-line message.
ParsedCwdecodeCommand parseCwdecodeArguments(std::span<const std::string_view> args);

// The --help text.
std::string_view cwdecodeUsage();

// One decided character as `output` prints it, in UTF-8: its text alone for
// Text, a whole line for the others. Times in seconds from the start of the
// audio; an SNR the decoder did not measure prints as "-" or null.
std::string formatCharacter(const dsp::DecodedCharacter& character, CwdecodeOutput output);

} // namespace decoder
