#pragma once
// Recording from an input device and the processing thread behind it.
//
// The device returns each filled buffer as MM_WIM_DATA to the main thread;
// onCaptureDone copies it into captureRing and wakes processingThread
// through captureReady; the thread drains the ring block by block, relays
// raw blocks to the network by role, and filters and plays them.
//
// The ring is single-producer (main thread), single-consumer (processing
// thread). Its indices are ever-increasing 64-bit byte counters published
// with release and read with acquire, so the bytes are in place before the
// other side sees them, a full ring is never mistaken for an empty one and
// all 19200 bytes are usable. A buffer that does not fit is dropped whole
// and counted; the consumer's counter is never moved by the producer.

#include <atomic>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <thread>

#include "platform/audio_device.h"
#include "station/audio/audio_format.h"

namespace platform {
class Semaphore;
}

namespace dsp {
class FirBandFilter;
}

namespace station {

struct StationSettings;
struct FatalStopContext;
struct BlockProcessor;
struct BlockSink;

class Playback;

inline constexpr std::int32_t captureRingBytes = 19200;

// What the processing thread needs of the network: the server's client
// slots and the client's link. Every call comes from the processing thread,
// so an implementation guards what it shares with the main thread. The
// defaults describe a station without a network role.
struct CaptureHooks {
    virtual ~CaptureHooks() = default;
    // Server without the command role: encode the raw block once and send it
    // to every occupied client slot. `byteCount`: one whole packet.
    virtual void relayToClients(const std::int16_t* /*block*/, std::int32_t /*byteCount*/) {}
    // Dialog client while connected: encode the raw block and send it to the
    // server.
    virtual void relayToServer(const std::int16_t* /*block*/, std::int32_t /*byteCount*/) {}
    // Server in the command role: the block as filtered and played, to the
    // connection in slot 0.
    virtual void sendProcessedToSlot0(const std::int16_t* /*block*/, std::int32_t /*byteCount*/) {}
    virtual bool anySlotOccupied() { return false; }
    virtual bool slot0Occupied() { return false; }
    // The client's link is in the Connected state.
    virtual bool clientConnected() { return false; }
};

// Cleared at start-up and by closeCapture.
struct CaptureState {
    platform::WaveHandle device = 0;
    // 1 once the first recorded block has been handed over; read by the tray.
    std::atomic<std::int32_t> audioStarted{0};
    // Bytes ever written (main thread) and read (processing thread); the
    // ring position is the counter modulo captureRingBytes. Unread bytes:
    // ringWrite − ringRead, 0 … captureRingBytes.
    std::atomic<std::uint64_t> ringWrite{0};
    std::atomic<std::uint64_t> ringRead{0};
    char captureRing[captureRingBytes] = {};
    CaptureRecord slots[captureSlotCount];

    // Producer. Appends `byteCount` bytes, or nothing and false when the
    // unread bytes and these would exceed the ring.
    bool ringPush(const char* bytes, std::int32_t byteCount);
    // Consumer. Moves up to `maxBytes` bytes into `out` (fewer when the ring
    // holds fewer) and returns how many.
    std::int32_t ringTake(char* out, std::int32_t maxBytes);
    std::uint64_t ringUnread() const;
};

class Capture {
  public:
    // `captureReady`: count 0 … 1, unsignalled at the start; created by
    // start-up. `playback` plays the processed blocks; `processor`, `filter`
    // and `sink` are block processing's. `notify` carries the device's
    // completions to the main thread.
    Capture(StationSettings& settings, platform::AudioSystem& audio, FatalStopContext& fatal,
            platform::WaveNotify notify, platform::Semaphore& captureReady, Playback& playback,
            dsp::FirBandFilter& filter, BlockProcessor& processor, BlockSink& sink);
    // Stops the thread and closes a device still open, without fatalStop.
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // `deviceIndex`: −1 for the default device, else an index of the input
    // device list. 0 success, 2 already open (nothing done), 3 failure; on 3
    // the device is closed and no thread runs. Main thread.
    int openCapture(int deviceIndex);
    // Stops the processing thread between blocks, resets and closes the
    // device (fatalStop "waveInReset при закрытии" / "waveInClose при
    // закрытии" on failure) and clears the state. Nothing when not open.
    // Main thread.
    void closeCapture();
    // Stops the thread and closes a device still open, without fatalStop,
    // as the destructor does. Main thread.
    void stopQuietly();
    // MM_WIM_DATA: wParam is the device handle, lParam the header. Main thread.
    void onCaptureDone(platform::WaveHandle handle, platform::WaveHeader* header);

    // One drained block of `byteCount` bytes (0 … captureRingBytes), handled
    // as the processing thread handles it: relay by role, then, once
    // `audioStarted`, filtering and playing. Processing thread; tests call it
    // directly while no thread runs.
    void handleBlock(std::int16_t* block, std::int32_t byteCount, bool audioStarted);

    // What the processing thread relays to the network; until attached the
    // station relays nothing. Main thread, while no processing thread runs
    // (before openCapture); `hooks` must outlive the capture.
    void attachRelay(CaptureHooks& hooks) { hooks_ = &hooks; }

    bool captureOpen() const { return captureOpen_.load(std::memory_order_acquire) != 0; }
    bool processingThreadRunning() const { return thread_.joinable(); }
    std::int32_t audioStarted() const { return state_->audioStarted.load(std::memory_order_acquire); }
    // Buffers dropped because the ring had no room for them.
    std::uint64_t overrunCount() const { return overruns_.load(std::memory_order_relaxed); }
    // Blocks the processing thread has taken from the ring.
    std::uint64_t blocksDrained() const { return blocksDrained_.load(std::memory_order_relaxed); }
    const CaptureState& state() const { return *state_; }

  private:
    void processingThread(std::stop_token stop);
    // Stops the thread, resets and closes the device and clears the state;
    // reports which device call failed.
    void shutDown(bool& resetFailed, bool& closeFailed);
    void queueSlot(CaptureRecord& slot);

    StationSettings& settings_;
    platform::AudioSystem& audio_;
    FatalStopContext& fatal_;
    platform::WaveNotify notify_;
    platform::Semaphore& captureReady_;
    Playback& playback_;
    dsp::FirBandFilter& filter_;
    BlockProcessor& processor_;
    BlockSink& sink_;
    CaptureHooks noRelay_;
    CaptureHooks* hooks_ = &noRelay_;

    std::unique_ptr<CaptureState> state_;
    std::atomic<std::int32_t> captureOpen_{0};
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<std::uint64_t> blocksDrained_{0};
    // The processing thread's block, allocated once.
    std::unique_ptr<std::int16_t[]> block_;
    std::jthread thread_;
};

} // namespace station
