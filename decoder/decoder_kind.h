#pragma once
// Which decoder turns the signal into text: the classic one (the station's
// keying detector and the element timer with their thresholds) or the
// weak-signal decoder (dsp/weak_decoder.h), which works on the filtered audio.

#include <optional>
#include <string_view>

namespace decoder {

enum class DecoderKind { Classic, Weak };

// The name used on command lines: "classic" or "weak".
constexpr std::string_view decoderKindName(DecoderKind kind) { return kind == DecoderKind::Weak ? "weak" : "classic"; }

// The kind a command-line name stands for; nullopt for any other text.
constexpr std::optional<DecoderKind> parseDecoderKind(std::string_view name) {
    if (name == "weak") {
        return DecoderKind::Weak;
    }
    if (name == "classic") {
        return DecoderKind::Classic;
    }
    return std::nullopt;
}

} // namespace decoder
