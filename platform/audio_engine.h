#pragma once
// Private to the audio device layer: the parts a device is made of.
//
// A device is a queue of caller-owned headers served by one worker thread.
// The worker calls its Engine, which moves audio between the queued headers
// and the medium (a file paced by a steady clock, or a sound card through a
// lock-free ring filled or drained by the card's callback).

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_device.h"
#include "dsp/audio_constants.h"

struct sf_private_tag;
struct SRC_STATE_tag;

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
    // Takes one release, waiting at most until `deadline`.
    void try_acquire_until(Clock::time_point deadline);

private:
    sem_t semaphore_;
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
        for (WaveHeader* h = head_; h != nullptr; h = h->next_) f(h);
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

// libsamplerate converter for one channel with buffers allocated once.
class Resampler {
public:
    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;
    // ratio = output rate / input rate. False when libsamplerate refuses.
    bool init(double ratio, int converterType);
    double ratio() const { return ratio_; }
    // Converts; returns frames produced, sets `used` to input frames taken.
    long process(const float* in, long inFrames, float* out, long outCapacity, long& used, bool endOfInput);
    void reset();

private:
    SRC_STATE_tag* state_ = nullptr;
    double ratio_ = 1.0;
};

// Reads an audio file of any rate and channel count as mono float samples
// at `targetRate`, down-mixing by averaging the channels. Buffers are
// allocated once at open; read() allocates nothing.
class MonoFileReader {
public:
    MonoFileReader() = default;
    ~MonoFileReader();
    MonoFileReader(const MonoFileReader&) = delete;
    MonoFileReader& operator=(const MonoFileReader&) = delete;
    bool open(const std::string& path, int targetRate);
    // The same, for a whole audio file held in memory: `bytes` must stay
    // valid and unchanged until the reader is destroyed.
    bool open(std::span<const std::uint8_t> bytes, int targetRate);
    int fileRate() const { return fileRate_; }
    // Frames of the file (at its own rate), as libsndfile reports them.
    std::int64_t fileFrames() const { return fileFrames_; }
    // Fills up to n samples; returns fewer only at the end of the file.
    std::size_t read(float* out, std::size_t n);

private:
    // Where a file held in memory is read from (libsndfile's virtual I/O).
    struct MemoryFile {
        const std::uint8_t* data = nullptr;
        std::int64_t size = 0;
        std::int64_t position = 0;
    };

    // Takes over whatever libsndfile opened (null when it refused) and sets
    // up the down-mix and the converter for `channels` × `fileRate`.
    bool adopt(sf_private_tag* file, int channels, int fileRate, std::int64_t frames, int targetRate);
    bool refill();

    MemoryFile memory_;
    sf_private_tag* file_ = nullptr;
    int channels_ = 1;
    int fileRate_ = 0;
    std::int64_t fileFrames_ = 0;
    bool resample_ = false;
    bool fileDone_ = false; // no more frames from the file
    bool ended_ = false;    // converter drained too
    Resampler converter_;
    std::vector<float> interleaved_;
    std::vector<float> mono_;        // converter input, mono_[monoPos_ … monoLen_)
    std::size_t monoPos_ = 0, monoLen_ = 0;
    std::vector<float> out_;         // converted, out_[outPos_ … outLen_)
    std::size_t outPos_ = 0, outLen_ = 0;
};

// SELVANE_SPEED: integer >= 1; anything else counts as 1.
int fileSpeedFromEnvironment();

// File devices. Capture: on failure returns nullptr and sets `error`.
std::unique_ptr<Engine> makeFileCapture(const std::string& path, int speed, AudioResult& error);
// The same for a file's bytes in memory, which must outlive the engine.
std::unique_ptr<Engine> makeFileCapture(std::span<const std::uint8_t> bytes, int speed, AudioResult& error);
// `append`: continue an existing file this AudioSystem wrote earlier,
// rather than replacing it. Never fails: a file that cannot be created is
// reported on standard error and the device plays into nothing, as a
// failed write later on stops the recording where it is.
std::unique_ptr<Engine> makeFilePlayback(const std::string& path, bool append, int speed);

// AudioSystem::CardTrouble as the card callbacks count it: lock-free, so a
// callback can add to it. Outlives every engine that counts into it.
struct TroubleCounters {
    std::atomic<std::uint64_t> outputUnderflows{0};
    std::atomic<std::uint64_t> inputOverflows{0};
    std::atomic<std::uint64_t> playbackGaps{0};
};

// Sound-card devices; `paDevice` is a PortAudio device index. The callback
// releases `waker` whenever it has moved audio and counts what the card
// lost into `trouble`.
std::unique_ptr<Engine> makeCardCapture(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error);
std::unique_ptr<Engine> makeCardPlayback(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error);

// Plays a sound file once on the card `paDevice` (a PortAudio device
// index); false when it cannot or when it has not finished within its
// duration plus two seconds.
bool playFileOnCard(int paDevice, const std::string& path);

// The device a name picks from `names` (a direction's card names, UTF-8):
// the position of the first name equal to `wanted`, else of the first that
// contains it, both ignoring ASCII case; -1 when none does or `wanted` is
// empty. An exact match first, so "default" is not taken for "sysdefault".
int findDeviceByName(const std::vector<std::string>& names, std::string_view wanted);

} // namespace platform::audio
