#pragma once
// Private to the audio device layer: the parts a device is made of.
//
// A device is a queue of caller-owned headers served by a worker thread: a
// card has one of its own, the file devices share one. The worker calls
// the device's Engine, which moves audio between the queued headers
// and the medium (a file paced by a steady clock, or a sound card through a
// lock-free ring filled or drained by the card's callback).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/audio_constants.h"
#include "platform/audio_device.h"

namespace platform::audio {

using Clock = std::chrono::steady_clock;

// The station's sample rate: every header holds 8000 Hz mono 16-bit PCM.
inline constexpr int stationRate = dsp::sampleRateHz;

// Wakes a device's worker: released by API calls and by card callbacks
// (sem_post: an atomic and a futex wake, safe in a callback). The worker
// blocks in the kernel until a release or its next deadline; it never spins
// (the standard semaphore's timed wait polls with yields and short sleeps,
// which cost more than the audio work itself at 50 blocks a second).
class Waker {
  public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void release();
    // Takes one release, waiting at most until `deadline` (for ever at
    // Clock::time_point::max()).
    void try_acquire_until(Clock::time_point deadline);

  private:
    struct Impl; // the backend's semaphore (platform/posix/waker.cpp)
    std::unique_ptr<Impl> impl_;
};

// Duration of `samples` at 8000 Hz played `speed` times faster.
Clock::duration blockDuration(std::size_t samples, int speed);

// Intrusive FIFO through WaveHeader::next_: queuing allocates nothing.
class HeaderQueue {
  public:
    bool empty() const { return head_ == nullptr; }
    WaveHeader* front() const { return head_; }
    void push(WaveHeader* h);
    WaveHeader* pop();
    template <typename F> void forEach(F f) const {
        for (WaveHeader* h = head_; h != nullptr; h = h->next_)
            f(h);
    }

  private:
    WaveHeader* head_ = nullptr;
    WaveHeader* tail_ = nullptr;
};

// What an engine sees of its device. Used with the device lock held.
struct DeviceCore {
    HeaderQueue queue;     // headers owned by the device, oldest first
    HeaderQueue returning; // finished, completion not yet delivered
    bool started = false;  // capture records only while started
    // Moves the oldest queued header to `returning`.
    void completeFront();
};

class Engine {
  public:
    virtual ~Engine() = default;
    // Capture start / restart after reset. Device lock held.
    virtual AudioResult begin(Clock::time_point) { return MMSYSERR_NOERROR; }
    // Reset: stop the medium and forget audio in flight. Device lock held.
    virtual void halt() {}
    // Moves audio between the medium and core.queue, completing headers as
    // they fill (capture) or finish playing (playback). Device lock held.
    // Returns the latest time at which it wants to be called again.
    virtual Clock::time_point service(DeviceCore& core, Clock::time_point now) = 0;
    // Whether a buffer queued behind others needs service at once. A file
    // device finishes its buffers in order, each at a deadline set when the
    // one before it finishes, so a buffer behind others changes nothing
    // until then: waking the worker for it would only cost a wake-up.
    virtual bool servesBuffersBehindOthers() const { return true; }
};

// Single-producer single-consumer ring of floats with monotonically growing
// positions (the consumer's position doubles as a "frames played" clock).
class SpscRing {
  public:
    explicit SpscRing(std::size_t capacityPow2);
    std::size_t readable() const;
    std::size_t writable() const;
    std::size_t write(const float* src, std::size_t n); // producer
    std::size_t read(float* dst, std::size_t n);        // consumer
    void discardAll();                                  // consumer
    void discard(std::size_t n);                        // consumer: up to n of the oldest
    std::uint64_t readPosition() const { return read_.load(std::memory_order_acquire); }
    std::uint64_t writePosition() const { return write_.load(std::memory_order_acquire); }

  private:
    std::vector<float> buf_;
    std::size_t mask_;
    alignas(64) std::atomic<std::uint64_t> write_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
};

// Float samples → 16-bit, rounded and clamped (full scale 1.0 = 32768);
// NaN gives 0.
std::int16_t floatToPcm16(float x);

// File devices. Capture: on failure returns nullptr and sets `error`.
std::unique_ptr<Engine> makeFileCapture(const std::string& path, int speed, AudioResult& error);
// The same for a file's bytes in memory, which must outlive the engine.
std::unique_ptr<Engine> makeFileCapture(std::span<const std::uint8_t> bytes, int speed, AudioResult& error);
// `append`: continue an existing file this AudioSystem wrote earlier,
// rather than replacing it. Never fails: a file that cannot be created is
// reported on standard error and the device plays into nothing, as a
// failed write later on stops the recording where it is.
std::unique_ptr<Engine> makeFilePlayback(const std::string& path, bool append, int speed);

// Whether `path` is a sound file the file devices can read.
bool fileIsReadable(const std::string& path);

// AudioSystem::CardTrouble as the card callbacks count it: lock-free, so a
// callback can add to it. Outlives every engine that counts into it.
struct TroubleCounters {
    std::atomic<std::uint64_t> outputUnderflows{0};
    std::atomic<std::uint64_t> inputOverflows{0};
    std::atomic<std::uint64_t> playbackGaps{0};
    std::atomic<std::uint64_t> latencyTrims{0};
};

// The sound cards, as a backend gives them to the device layer. Cards are
// named by their position in a direction's list, which is the menus' order.
// Every call may come from any thread.
class CardBackend {
  public:
    virtual ~CardBackend() = default;
    // The names of the cards with channels of that direction (UTF-8).
    virtual std::vector<std::string> cardNames(bool input) const = 0;
    // Position of the system's default card of that direction, or -1.
    virtual int defaultCard(bool input) const = 0;
    // Opens a card as a device engine at the station's rate and format. The
    // card's callback releases `waker` whenever it has moved audio and counts
    // what the card lost into `trouble`. On failure returns nullptr and sets
    // `error`.
    virtual std::unique_ptr<Engine> open(bool input, int card, Waker& waker, TroubleCounters& trouble,
                                         AudioResult& error) = 0;
    // Plays a sound file once on a playback card; false when it cannot or
    // when it has not finished within its duration plus two seconds.
    virtual bool playFile(int card, const std::string& path) = 0;
};

// Starts the sound system quietly; nullptr when there is none (only file
// devices open then). Defined by the backend the build chose.
std::unique_ptr<CardBackend> startCardBackend();

// The device a name picks from `names` (a direction's card names, UTF-8):
// the position of the first name equal to `wanted`, else of the first that
// contains it, both ignoring ASCII case; -1 when none does or `wanted` is
// empty. An exact match first, so "default" is not taken for "sysdefault".
int findDeviceByName(const std::vector<std::string>& names, std::string_view wanted);

} // namespace platform::audio
