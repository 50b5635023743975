#pragma once
// Push of the station's played audio to an Icecast mount, as Opus in Ogg.
//
// The audio path only copies each played 160-sample block into a bounded,
// preallocated single-producer/single-consumer ring (pushBlock): it never
// allocates, never locks and never waits. When the ring is full the block is
// dropped whole and counted. A sender thread of its own takes the blocks,
// encodes them (StreamEncoder) and sends the pages (IcecastConnection); the
// network may be slow or gone without the audio path noticing.
//
// The sender thread keeps a small state machine:
//   Connecting → Connected, or → Reconnecting (server unreachable) with a
//   new attempt every reconnectDelayMs, or → Refused (wrong password, mount
//   in use) with a new attempt only after refusedDelayMs;
//   Connected → Reconnecting when the connection is lost or the server
//   falls too far behind.
// Each new connection starts a new Ogg Opus stream (fresh headers), and the
// blocks queued while there was none are thrown away, so a listener never
// hears stale audio after a reconnect. While connected and nothing is
// played (a client whose server is away) the sender fills in silence at
// the real-time pace, so the server does not drop the source and listeners
// keep a running stream.
//
// The password is part of the target and is never shown: every text made
// here names the server as host:port/mount.
//
// Threads: pushBlock on whichever thread plays audio, one at a time (the
// playback lock serialises them); state(), reason(), the status texts and the
// counters on any thread; start and stop on the main thread.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "station/audio/playback.h"
#include "station/net/icecast_url.h"

namespace station {

// What the stream is called on the server and how it is coded.
struct IcecastStreamInfo {
    std::string name;                // stream name shown by the server; may be empty
    std::int32_t bitrateBps = 16000; // Opus bitrate, bits per second, 6000 … 64000
};

// The server side, normally libshout. Called on the sender thread only.
class IcecastConnection {
  public:
    enum class OpenResult { Connected, Unreachable, WrongPassword, MountInUse };
    enum class SendResult { Sent, Lost, TooSlow };

    virtual ~IcecastConnection() = default;
    // Logs in as a source on the mount. Returns within a few seconds, or as
    // soon as `stop` is requested (then Unreachable).
    virtual OpenResult open(const IcecastTarget& target, const IcecastStreamInfo& info, std::stop_token stop) = 0;
    // Hands `bytes` to the server. TooSlow: the bytes the server has not
    // taken yet passed the connection's own limit; the caller reconnects.
    virtual SendResult send(std::span<const std::uint8_t> bytes) = 0;
    // Ends the source connection; the mount goes away. Safe when not open.
    virtual void close() = 0;
};

// Blocks of 8000 Hz mono to Ogg Opus pages, normally libopusenc. Called on
// the sender thread only.
class StreamEncoder {
  public:
    // Receives every completed Ogg page, headers included, in order.
    using PageSink = std::function<void(std::span<const std::uint8_t>)>;

    virtual ~StreamEncoder() = default;
    // Starts a new logical stream whose pages go to `sink`. False when the
    // encoder cannot be made (then nothing is sent).
    virtual bool begin(const IcecastStreamInfo& info, PageSink sink) = 0;
    // `samples`: 8000 Hz mono. Pages complete every few hundred ms.
    virtual bool encode(std::span<const std::int16_t> samples) = 0;
    // Flushes what is buffered and ends the stream. Safe when not begun.
    virtual void end() = 0;
};

class IcecastPush final : public PlayedBlockTap {
  public:
    enum class State : int { Connecting, Connected, Reconnecting, Refused };
    enum class Reason : int { None, Unreachable, Lost, TooSlow, WrongPassword, MountInUse, Encoder };

    static constexpr int blockSamples = 160;
    // Ring capacity in blocks: 1.28 s of audio, enough to ride out a short
    // stall of the sender thread; more would only be thrown away.
    static constexpr int queueBlocks = 64;

    struct Timing {
        // Pause before a new attempt after the server could not be reached
        // or the connection was lost, ms.
        int reconnectDelayMs = 3000;
        // Pause after the server refused the login. A wrong password or a
        // busy mount does not heal in seconds, and every attempt is a line
        // in the server's log; but the mount frees itself when the other
        // source leaves and the password can be fixed on the server, so
        // the station keeps trying, slowly.
        int refusedDelayMs = 30000;
        // How often the sender thread looks at the ring when it is empty, ms.
        int pollMs = 10;
        // A gap in the played audio longer than this is filled with
        // silence, ms; well above the playback path's own jitter.
        int silenceAfterMs = 250;
    };

    // Prints one status line (ASCII, no password) when the state or the
    // reason changes; called on the sender thread. May be empty.
    using StatusLog = std::function<void(std::string_view line)>;

    IcecastPush(IcecastTarget target, IcecastStreamInfo info, std::unique_ptr<IcecastConnection> connection,
                std::unique_ptr<StreamEncoder> encoder, Timing timing, StatusLog log = {});
    // Stops the sender thread (which ends the stream and the connection).
    ~IcecastPush() override;
    IcecastPush(const IcecastPush&) = delete;
    IcecastPush& operator=(const IcecastPush&) = delete;

    void start();
    // Ends the stream, closes the connection and joins the thread; returns
    // within about one connection attempt.
    void stop();

    // The audio path: copies the first min(count, 160) samples of `samples`
    // (a shorter block is padded with zeros) into the ring, or drops the
    // block when the ring is full. Wait-free, allocates nothing.
    void pushBlock(const std::int16_t* samples, int count) noexcept;
    // PlayedBlockTap: the played block cut into 160-sample blocks (a
    // LOWSPEED buffer holds six), each pushed as above.
    void onBlockPlayed(const std::int16_t* samples, int count) noexcept override;

    State state() const { return stateOf(status_.load(std::memory_order_acquire)); }
    Reason reason() const { return reasonOf(status_.load(std::memory_order_acquire)); }
    // Blocks dropped at the full ring, and blocks handed to the encoder.
    std::uint64_t blocksDropped() const { return dropped_.load(std::memory_order_relaxed); }
    std::uint64_t blocksEncoded() const { return encoded_.load(std::memory_order_relaxed); }
    // Blocks of silence put in where nothing was played.
    std::uint64_t blocksOfSilence() const { return silence_.load(std::memory_order_relaxed); }
    // Connections made since start.
    std::uint32_t connections() const { return connections_.load(std::memory_order_relaxed); }

    // "Icecast host:port/mount: connected" and the like, into `out`, always
    // NUL-terminated and cut to fit. Any thread; no lock, no allocation.
    void copyStatusText(std::span<char> out) const;
    // The short form for the tray tip: "Icecast: connected",
    // "Icecast: refused: mount in use" ...
    void copyShortStatusText(std::span<char> out) const;

    const IcecastTarget& target() const { return target_; }

  private:
    using Block = std::array<std::int16_t, blockSamples>;
    static constexpr std::uint32_t ringSize = queueBlocks + 1; // one slot stays free

    void run(std::stop_token stop);
    // Waits `ms` or until stop is requested; false when stopped.
    bool pause(std::stop_token stop, int ms);
    // Streams until the connection fails or stop is requested.
    void stream(std::stop_token stop);
    void discardQueued();
    void setState(State state, Reason reason);

    const IcecastTarget target_;
    const IcecastStreamInfo info_;
    const std::string targetName_; // displayName(), made once
    std::unique_ptr<IcecastConnection> connection_;
    std::unique_ptr<StreamEncoder> encoder_;
    const Timing timing_;
    StatusLog log_;

    // The ring: the producer writes blocks_[head_] and then publishes head_
    // (release); the consumer reads up to head_ (acquire) and publishes tail_.
    std::unique_ptr<Block[]> blocks_;
    std::atomic<std::uint32_t> head_{0};
    std::atomic<std::uint32_t> tail_{0};

    // State and reason in one word (state << 8 | reason), so a reader never
    // pairs a new state with an old reason.
    static int packed(State state, Reason reason) { return static_cast<int>(state) << 8 | static_cast<int>(reason); }
    static State stateOf(int status) { return static_cast<State>(status >> 8); }
    static Reason reasonOf(int status) { return static_cast<Reason>(status & 0xff); }
    std::atomic<int> status_{packed(State::Connecting, Reason::None)};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> encoded_{0};
    std::atomic<std::uint64_t> silence_{0};
    std::atomic<std::uint32_t> connections_{0};

    // Only the sender thread and stop() use these: the pauses wake at once
    // when the station stops.
    std::mutex pauseMutex_;
    std::condition_variable_any pauseWake_;
    std::jthread thread_;
};

// Texts of a state and a reason ("connected", "mount in use" ...).
std::string_view icecastStateText(IcecastPush::State state);
std::string_view icecastReasonText(IcecastPush::Reason reason);

} // namespace station
