// A received relay byte stream through ReceiveStream::feedStream, cut into
// pieces at points the fuzzer chooses, at a client and at a server in the
// dialog and in the command mode. The same stream fed in one piece must
// give the same units, the same played audio and the same actions.
//
// Input: byte 0 chooses the station (% 3: client, server in dialog mode,
// server in command mode); byte 1 % 16 is the number n of piece sizes that
// follow in bytes 2 … n+1 (each 0 … 255, used in turn); the rest is the
// stream.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fuzz/stream_fakes.h"
#include "station/net/gsm_codec.h"
#include "station/net/receive_stream.h"
#include "station/shell/station_settings.h"

namespace {

struct Receiver {
    explicit Receiver(int role) {
        settings.config.clientMode = role == 0;
        settings.config.serverMode = role != 0;
        settings.config.dialogMode = role == 1;
        settings.config.commandMode = role == 2;
    }
    station::StationSettings settings;
    station::GsmCodecPair codec;
    fuzzsupport::CheckingContext context{settings};
    fuzzsupport::HashingPlayout playout;
    station::ReceiveStream stream{codec, context, playout};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const int role = data[0] % 3;
    const std::size_t pieceCount = std::min<std::size_t>(data[1] % 16, size - 2);
    const std::uint8_t* pieces = data + 2;
    // An exact-size copy of the stream, so a read past a piece is caught.
    const std::vector<std::uint8_t> stream(data + 2 + pieceCount, data + size);
    const int slot = role == 0 ? station::clientSlot : 0;

    // Heap: each receiver holds a codec pair and a settings record.
    const auto cut = std::make_unique<Receiver>(role);
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::size_t want = pieceCount == 0 ? 1 : pieces[i % pieceCount];
        const std::size_t n = std::min(want, stream.size() - at);
        cut->stream.feedStream(stream.data() + at, static_cast<int>(n), slot);
        at += n;
        FUZZ_CHECK(cut->stream.pendingBytes() >= 0 && cut->stream.pendingBytes() < 33);
        if (i > stream.size() + 16) {
            break; // only zero-size pieces: nothing more will arrive
        }
    }
    cut->stream.feedStream(stream.data(), -1, slot); // a failed read delivers nothing
    const std::size_t fed = at;

    const auto whole = std::make_unique<Receiver>(role);
    whole->stream.feedStream(stream.data(), static_cast<int>(fed), slot);

    FUZZ_CHECK(cut->stream.pendingBytes() == static_cast<int>(fed % 33));
    FUZZ_CHECK(whole->stream.pendingBytes() == cut->stream.pendingBytes());
    FUZZ_CHECK(whole->playout.blocks == cut->playout.blocks);
    FUZZ_CHECK(whole->playout.hash == cut->playout.hash);
    FUZZ_CHECK(whole->context.actions == cut->context.actions);

    // Every unit that is not a control packet is played, except at a server
    // commanded by its client, which plays none of them.
    int audioUnits = 0;
    for (std::size_t u = 0; u + 33 <= fed; u += 33) {
        audioUnits += fuzzsupport::isControlPacket(stream.data() + u) ? 0 : 1;
    }
    FUZZ_CHECK(cut->playout.blocks == (role == 2 ? 0 : audioUnits));
    return 0;
}
