#pragma once
// Playback of 20 ms blocks on an output device, with a small bounded queue:
// a block that finds the queue at its limit (receiveBufferPackets) is
// dropped, which bounds the delay between capture and sound.
//
// Threads: playBlock runs on the processing thread (captured audio) and on
// the main thread (network audio). openPlayback, closePlayback and
// onPlaybackDone run on the main thread. One short mutex keeps playBlock off
// a device that is being closed or cleared; it is held only around a few
// device calls and never while fatalStop plays its sound. Nothing is
// allocated per block.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/audio_device.h"
#include "station/audio/audio_format.h"

namespace station {

struct LiveSettings;
struct FatalStopContext;

// Cleared at start-up and by closePlayback.
struct PlaybackState {
    platform::WaveHandle device = 0;
    // Set when a played block comes back while the device is open; read by
    // the tray icon, cleared when the network connection closes.
    std::atomic<std::int32_t> blockPlayed{0};
    CaptureRecord slots[playbackSlotCount];
};

// Sees every block playback hands to its device, as it will sound (gain
// applied, zeros while playback is off): the point where the station's
// played audio is available block by block. Called under the playback lock
// on the thread that plays, so at most one call at a time; it must not
// block, lock, allocate or do I/O.
class PlayedBlockTap {
  public:
    virtual ~PlayedBlockTap() = default;
    // `samples`: `count` 16-bit samples, 8000 Hz mono, valid for the call.
    virtual void onBlockPlayed(const std::int16_t* samples, int count) noexcept = 0;
};

// Result codes of the device opens.
inline constexpr int openSucceeded = 0;
inline constexpr int openAlreadyOpen = 2;
inline constexpr int openFailed = 3;

// s / 32000 × gain × 32000 in double, truncated toward zero, low 16 bits
// kept (no clamping). NaN and infinities give 0.
std::int16_t amplifySample(std::int16_t s, double gain);

class Playback {
  public:
    // `notify` carries the device's completions to the main thread (bound to
    // Platform::postMessage of the main window by the station).
    Playback(LiveSettings& settings, platform::AudioSystem& audio, FatalStopContext& fatal,
             platform::WaveNotify notify);
    // Closes a device still open, without fatalStop.
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    // `deviceIndex`: −1 for the default device, else an index of the output
    // device list. 0 success, 2 already open (nothing done), 3 failure.
    int openPlayback(int deviceIndex);
    // Does nothing when the device is not open. Otherwise resets and closes
    // it (fatalStop "waveOutReset при закрытии" or "waveOutClose при
    // закрытии" on failure) and clears the state.
    void closePlayback();
    // Queues `byteCount` bytes of `samples` (0 … 19300, byteCount / 2
    // samples). With outputGain > 1.0 the caller's block is amplified in
    // place first. With playbackOn 0 a block of zeros of the same length is
    // queued instead. Dropped when the device is closed, the slot at the
    // cursor and the next one are busy, or the queue is at its limit.
    void playBlock(std::int16_t* samples, std::int32_t byteCount);
    // MM_WOM_DONE: wParam is the device handle, lParam the header.
    void onPlaybackDone(platform::WaveHandle handle, platform::WaveHeader* header);

    bool playbackOpen() const { return playbackOpen_.load(std::memory_order_acquire) != 0; }
    // Blocks written to the device and not yet returned.
    std::int32_t playbackQueued() const { return playbackQueued_.load(std::memory_order_acquire); }
    // Slot to try next, 0 … 127.
    std::int32_t playbackCursor() const;
    std::int32_t blockPlayed() const { return state_->blockPlayed.load(std::memory_order_relaxed); }
    void clearBlockPlayed() { state_->blockPlayed.store(0, std::memory_order_relaxed); }
    // Blocks written to a device since construction (for measurements).
    std::uint64_t blocksWritten() const { return blocksWritten_.load(std::memory_order_acquire); }

    // The tap that sees each played block (nullptr: none). Main thread; the
    // tap must outlive the playback or be replaced before it goes.
    void setPlayedBlockTap(PlayedBlockTap* tap);

    // Marks a slot busy or free, as if the device held it. Main thread, for
    // tests of the cursor rule.
    void setSlotInUse(int slot, bool inUse);

  private:
    // The slot whose header this is; nullptr for a foreign header.
    CaptureRecord* slotOf(const platform::WaveHeader* header) const;

    LiveSettings& settings_;
    platform::AudioSystem& audio_;
    FatalStopContext& fatal_;
    platform::WaveNotify notify_;

    mutable std::mutex mutex_; // guards state_ (but blockPlayed) and playbackCursor_
    std::unique_ptr<PlaybackState> state_;
    std::int32_t playbackCursor_ = 0;
    PlayedBlockTap* tap_ = nullptr; // guarded by mutex_
    std::atomic<std::int32_t> playbackOpen_{0};
    std::atomic<std::int32_t> playbackQueued_{0};
    std::atomic<std::uint64_t> blocksWritten_{0};
};

} // namespace station
