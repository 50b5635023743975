#include "station/net/gsm_codec.h"

#include <algorithm>
#include <cstring>

#include <gsm.h>

namespace station {

GsmCodecPair::GsmCodecPair() {
    decoder_ = gsm_create();
    encoder_ = gsm_create();
}

GsmCodecPair::~GsmCodecPair() {
    if (encoder_ != nullptr) {
        gsm_destroy(encoder_);
    }
    if (decoder_ != nullptr) {
        gsm_destroy(decoder_);
    }
}

void encodeBlocks(GsmCodecPair& pair, const std::int16_t* samples, std::uint8_t* frames, int count) {
    for (int i = 0; i < count; ++i) {
        std::uint8_t* frame = frames + static_cast<std::ptrdiff_t>(i) * gsmFrameBytes;
        if (pair.encoder_ == nullptr) {
            std::memset(frame, 0, gsmFrameBytes);
            continue;
        }
        // gsm_encode takes a non-const block; a stack copy keeps the
        // caller's samples untouched whatever the codec does with it.
        gsm_signal block[gsmBlockSamples];
        std::copy_n(samples + static_cast<std::ptrdiff_t>(i) * gsmBlockSamples, gsmBlockSamples, block);
        gsm_encode(pair.encoder_, block, frame);
    }
}

void decodeFrames(GsmCodecPair& pair, const std::uint8_t* frames, std::int16_t* samples, int count) {
    for (int i = 0; i < count; ++i) {
        std::int16_t* block = samples + static_cast<std::ptrdiff_t>(i) * gsmBlockSamples;
        gsm_byte frame[gsmFrameBytes];
        std::memcpy(frame, frames + static_cast<std::ptrdiff_t>(i) * gsmFrameBytes, gsmFrameBytes);
        // gsm_decode leaves the block untouched when it rejects the frame;
        // the listener then hears 20 ms of silence instead of stale samples.
        if (pair.decoder_ == nullptr || gsm_decode(pair.decoder_, frame, block) != 0) {
            std::fill_n(block, gsmBlockSamples, std::int16_t{0});
        }
    }
}

} // namespace station
