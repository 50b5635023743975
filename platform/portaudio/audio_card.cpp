// Sound-card devices on PortAudio. The card's callback only moves float
// samples through a lock-free ring and wakes the device's worker; rate
// conversion to and from 8000 Hz and all header handling happen in the
// worker.

#include "platform/filedev/file_reader.h"
#include "platform/portaudio/cards.h"

#include <portaudio.h>
#include <samplerate.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <thread>

namespace platform::audio {

namespace {

constexpr std::size_t workChunk = 2048; // samples converted per step

// How long the first audio of a playback stream waits in the ring before the
// card plays it, at its start and after it ran dry, seconds. The blocks
// arrive whole, 20 ms at a time, at the pace of capture and processing, so
// the ring runs down to this margin just before each block arrives; without
// it the card caught up with them several times a second on PulseAudio: a
// gap each time. It is a wait of its own rather than an amount to gather:
// gathering 30 ms of 20 ms blocks waits for two blocks, 40 ms. It starts
// at 10 ms, enough on a quiet machine, and grows by 5 ms with each gap up to
// 40 ms, so that a busy machine stops gapping at the cost of a longer delay
// than the operator would otherwise hear.
constexpr double cushionSeconds = 0.01;
constexpr double cushionStepSeconds = 0.005;
constexpr double cushionLimitSeconds = 0.04;

// A delay that a burst leaves behind. After a stall (of the machine, or of
// the station) the blocks it held up arrive together, and the playback ring
// no longer runs down to the cushion before each block: every later sound
// would reach the operator that much later, for good (up to the station's
// queue of blocks, 100 ms and more). When the ring has stayed more than
// half a block above the cushion for half a second, what it holds beyond
// the cushion at its lowest is dropped: one skip in the sound instead of a
// lasting delay. Two cards on clocks of their own (a USB card in, another
// out) drift apart the same way, slowly; the same trim keeps them close.
constexpr double trimWindowSeconds = 0.5;
constexpr double trimAboveSeconds = 0.01; // half a station block

// The sound a playback card buffers ahead of its callback, seconds at least.
// The callback must come round before this runs out or the card plays
// silence (an underflow). PortAudio's low latency on PulseAudio, about 9 ms,
// underflowed a few times a minute on a loaded two-core machine, where the
// callback thread now and then ran 10 to 25 ms late; 12 ms at the station's
// priority did not. Every millisecond here is one more between the receiver
// and the operator's ear: 15 ms made a click 53 to 57 ms late beyond the
// filter's delay, 12 ms 49 ms.
constexpr double playbackLatencySeconds = 0.012;

bool chooseFormat(int paDevice, bool input, PaStreamParameters& params, double& rate) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paDevice);
    if (info == nullptr) {
        return false;
    }
    params = PaStreamParameters{};
    params.device = paDevice;
    params.sampleFormat = paFloat32;
    // The operator listens to the receiver through the station, so the
    // card's own buffering is kept short (PortAudio's low latency, about
    // 9 ms on PulseAudio, and a little more for playback); the station's
    // 20 ms blocks reach the card in bursts, which the playback cushion
    // absorbs instead. With the high latency (about 35 ms on PulseAudio) a
    // click took 75 ms beyond the filter's delay from a receiver sink to a
    // speaker sink.
    params.suggestedLatency =
        input ? info->defaultLowInputLatency : std::max(info->defaultLowOutputLatency, playbackLatencySeconds);
    const int maxChannels = input ? info->maxInputChannels : info->maxOutputChannels;
    const std::array<double, 7> rates = {8000.0, info->defaultSampleRate, 48000.0, 44100.0, 16000.0, 32000.0, 22050.0};
    for (int channels = 1; channels <= std::min(maxChannels, 2); ++channels) {
        params.channelCount = channels;
        for (const double r : rates) {
            if (r < 1000.0) {
                continue;
            }
            const PaError e =
                input ? Pa_IsFormatSupported(&params, nullptr, r) : Pa_IsFormatSupported(nullptr, &params, r);
            if (e == paFormatIsSupported) {
                rate = r;
                return true;
            }
        }
    }
    return false;
}

std::size_t ringCapacityFor(double rate, double seconds) {
    std::size_t cap = 1024;
    while (static_cast<double>(cap) < rate * seconds) {
        cap *= 2;
    }
    return cap;
}

// One PortAudio stream of either direction and what both directions need
// around it: the ring between the card's callback and the device's worker,
// the converter between the card's rate and 8000 Hz, the mixing between the
// card's one or two channels and the station's one, and the flag that tells
// that the card stopped by itself. The callback calls onCard, which moves
// mono samples through the ring with takeFromCard or giveToCard.
class CardStream : public Engine {
  public:
    CardStream(const CardStream&) = delete;
    CardStream& operator=(const CardStream&) = delete;
    ~CardStream() override {
        if (stream_ != nullptr) {
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
        }
    }

    bool open(const PaStreamParameters& params, double rate, bool input) {
        const double ratio = input ? stationRate / rate : rate / stationRate;
        if (resample_ && !conv_.init(ratio, SRC_SINC_FASTEST)) {
            return false;
        }
        if (Pa_OpenStream(&stream_, input ? &params : nullptr, input ? nullptr : &params, rate,
                          paFramesPerBufferUnspecified, paClipOff, &callback, this) != paNoError) {
            return false;
        }
        Pa_SetStreamFinishedCallback(stream_, &finished);
        return true;
    }

  protected:
    CardStream(Waker& waker, TroubleCounters& trouble, double rate, int channels, double ringSeconds)
        : waker_(waker), trouble_(trouble), channels_(channels), resample_(rate != stationRate),
          ring_(ringCapacityFor(rate, ringSeconds)) {}

    // The card's callback: `frames` frames of the card's channels arrive in
    // `input` (capture) or are wanted in `output` (playback).
    virtual void onCard(const float* input, float* output, std::size_t frames, PaStreamCallbackFlags flags) = 0;

    // Capture: the card's frames into the ring as mono (the mean of two
    // channels); what the ring cannot hold is lost.
    void takeFromCard(const float* in, std::size_t frames) {
        if (channels_ == 1) {
            ring_.write(in, frames);
            return;
        }
        std::array<float, 256> mono;
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, mono.size());
            for (std::size_t i = 0; i < n; ++i) {
                const float* f = in + (done + i) * static_cast<std::size_t>(channels_);
                mono[i] = 0.5f * (f[0] + f[1]);
            }
            ring_.write(mono.data(), n);
            done += n;
        }
    }

    // Playback: up to `frames` mono samples from the ring onto every channel
    // of the card's frames, silence after them; the samples taken.
    std::size_t giveToCard(float* out, std::size_t frames) {
        if (channels_ == 1) {
            const std::size_t got = ring_.read(out, frames);
            std::fill(out + got, out + frames, 0.0f);
            return got;
        }
        std::array<float, 256> mono;
        std::size_t got = 0;
        for (std::size_t done = 0; done < frames;) {
            const std::size_t n = std::min(frames - done, mono.size());
            const std::size_t part = ring_.read(mono.data(), n);
            std::fill(mono.begin() + static_cast<std::ptrdiff_t>(part), mono.begin() + static_cast<std::ptrdiff_t>(n),
                      0.0f);
            for (std::size_t i = 0; i < n; ++i) {
                float* f = out + (done + i) * static_cast<std::size_t>(channels_);
                std::fill(f, f + channels_, mono[i]);
            }
            got += part;
            done += n;
        }
        return got;
    }

    // Whether the stream stopped: by halt, or by itself when its card
    // failed (a USB card pulled out, a sound-server device removed). Only
    // this flag, and no call into PortAudio: a stream whose card went quiet
    // for good holds PortAudio's state lock while it waits.
    bool ended() const { return ended_.load(std::memory_order_acquire); }
    // Starts the stream again after a halt; false when the card refuses.
    bool restart() {
        ended_.store(false, std::memory_order_relaxed);
        if (Pa_StartStream(stream_) != paNoError) {
            ended_.store(true, std::memory_order_relaxed);
            return false;
        }
        return true;
    }

    Waker& waker_;
    TroubleCounters& trouble_;
    const int channels_;
    const bool resample_;
    PaStream* stream_ = nullptr;
    SpscRing ring_;
    Resampler conv_;

  private:
    static int callback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<CardStream*>(user);
        self->onCard(static_cast<const float*>(input), static_cast<float*>(output), frames, flags);
        self->waker_.release();
        return paContinue;
    }
    static void finished(void* user) { static_cast<CardStream*>(user)->ended_.store(true, std::memory_order_release); }

    std::atomic<bool> ended_{false};
};

class CardCaptureEngine final : public CardStream {
  public:
    CardCaptureEngine(Waker& waker, TroubleCounters& trouble, double rate, int channels)
        : CardStream(waker, trouble, rate, channels, 2.0), in_(workChunk), out_(workChunk) {}

    AudioResult begin(Clock::time_point) override {
        ring_.discardAll();
        conv_.reset();
        inPos_ = inLen_ = 0;
        if (Pa_IsStreamActive(stream_) == 1) {
            return MMSYSERR_NOERROR;
        }
        return restart() ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }

    void halt() override {
        if (Pa_IsStreamStopped(stream_) == 0) {
            Pa_StopStream(stream_);
        }
        ring_.discardAll();
    }

    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        if (!core.started) {
            return now + std::chrono::seconds(1);
        }
        if (core.queue.empty()) {
            // No buffer to record into: the sound is lost, as on any card.
            ring_.discardAll();
            inPos_ = inLen_ = 0;
        }
        while (!core.queue.empty()) {
            WaveHeader* h = core.queue.front();
            const std::size_t total = h->bufferLength / 2;
            const std::size_t filled = h->bytesRecorded / 2;
            const std::size_t want = std::min(total - filled, out_.size());
            std::size_t got = 0;
            if (!resample_) {
                got = ring_.read(out_.data(), want);
            } else {
                if (inPos_ == inLen_) {
                    inPos_ = 0;
                    inLen_ = ring_.read(in_.data(), in_.size());
                }
                long used = 0;
                const long produced = conv_.process(in_.data() + inPos_, static_cast<long>(inLen_ - inPos_),
                                                    out_.data(), static_cast<long>(want), used, false);
                inPos_ += static_cast<std::size_t>(used);
                got = static_cast<std::size_t>(std::max(produced, 0L));
                if (got == 0 && used == 0) {
                    break; // the ring is dry; the callback will wake us
                }
            }
            if (got == 0 && !resample_) {
                break;
            }
            auto* bytes = reinterpret_cast<unsigned char*>(h->data);
            for (std::size_t i = 0; i < got; ++i) {
                const auto s = static_cast<std::uint16_t>(floatToPcm16(out_[i]));
                bytes[2 * (filled + i)] = static_cast<unsigned char>(s & 0xFF);
                bytes[2 * (filled + i) + 1] = static_cast<unsigned char>(s >> 8);
            }
            h->bytesRecorded = static_cast<std::uint32_t>((filled + got) * 2);
            if (filled + got == total) {
                core.completeFront();
            }
        }
        return now + std::chrono::milliseconds(100);
    }

  private:
    void onCard(const float* in, float*, std::size_t frames, PaStreamCallbackFlags flags) override {
        if ((flags & paInputOverflow) != 0) {
            trouble_.inputOverflows.fetch_add(1, std::memory_order_relaxed);
        }
        if (in != nullptr) {
            takeFromCard(in, frames);
        }
    }

    std::vector<float> in_;
    std::size_t inPos_ = 0, inLen_ = 0;
    std::vector<float> out_;
};

class CardPlaybackEngine final : public CardStream {
  public:
    CardPlaybackEngine(Waker& waker, TroubleCounters& trouble, double rate, int channels)
        : CardStream(waker, trouble, rate, channels, 0.5), in_(workChunk),
          out_(workChunk * static_cast<std::size_t>(rate / stationRate + 1.0) + 16),
          cushion_(static_cast<std::size_t>(rate * cushionSeconds)),
          cushionStep_(static_cast<std::size_t>(rate * cushionStepSeconds)),
          cushionLimit_(static_cast<std::size_t>(rate * cushionLimitSeconds)),
          trimWindow_(static_cast<std::size_t>(rate * trimWindowSeconds)),
          trimAbove_(static_cast<std::size_t>(rate * trimAboveSeconds)) {}

    // The card runs from open to close, playing silence while nothing is
    // queued, like a waveform output device.
    bool start() { return restart(); }

    void halt() override {
        if (ring_.readable() == 0 && feedPos_ == 0) {
            return; // nothing in flight (a device just opened): the card plays on
        }
        Pa_AbortStream(stream_); // joins the callback, so the ring is ours
        ring_.discardAll();
        conv_.reset();
        feedPos_ = 0;
        playing_ = false; // a reset's silence is no gap
        waited_ = 0;
        restartTrimWindow();
        // Started again only when something is written: a reset is mostly
        // followed by a close, and on a card that is gone (a USB card pulled
        // out, a sound-server sink removed) ALSA's start waits for a
        // callback thread that never comes. For the same reason a reset with
        // nothing in flight leaves the stream alone.
        restart_ = true;
    }

    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        if (restart_ && !core.queue.empty()) {
            restart_ = false;
            restart();
        }
        if (ended()) {
            // The card failed: it plays into nothing, at once, so that the
            // caller's queue keeps moving until it closes the device.
            while (!core.queue.empty()) {
                core.completeFront();
            }
            return now + std::chrono::milliseconds(100);
        }
        // Feed every header not yet fully in the ring, in order. mark_ is the
        // ring position (plus one) at which a header's last frame was written.
        bool blocked = false;
        core.queue.forEach([&](WaveHeader* h) {
            if (blocked || h->mark_ != 0) {
                return;
            }
            const auto* bytes = reinterpret_cast<const unsigned char*>(h->data);
            const std::size_t total = h->bufferLength / 2;
            while (feedPos_ < total) {
                const std::size_t n = std::min(total - feedPos_, in_.size());
                for (std::size_t i = 0; i < n; ++i) {
                    const std::size_t b = 2 * (feedPos_ + i);
                    const auto s =
                        static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[b] | (bytes[b + 1] << 8)));
                    in_[i] = static_cast<float>(s) / 32768.0f;
                }
                std::size_t taken = 0;
                if (!resample_) {
                    taken = ring_.write(in_.data(), n);
                } else {
                    const long room = static_cast<long>(std::min(out_.size(), ring_.writable()));
                    long used = 0;
                    const long produced =
                        conv_.process(in_.data(), static_cast<long>(n), out_.data(), room, used, false);
                    ring_.write(out_.data(), static_cast<std::size_t>(std::max(produced, 0L)));
                    taken = static_cast<std::size_t>(used);
                }
                feedPos_ += taken;
                if (taken < n) {
                    blocked = true; // ring full: continue when the card has played some
                    return;
                }
            }
            h->mark_ = ring_.writePosition() + 1;
            feedPos_ = 0;
        });
        const std::uint64_t played = ring_.readPosition();
        while (!core.queue.empty() && core.queue.front()->mark_ != 0 && core.queue.front()->mark_ - 1 <= played) {
            core.completeFront();
        }
        return now + std::chrono::milliseconds(100);
    }

  private:
    void onCard(const float*, float* out, std::size_t frames, PaStreamCallbackFlags flags) override {
        if ((flags & paOutputUnderflow) != 0) {
            trouble_.outputUnderflows.fetch_add(1, std::memory_order_relaxed);
        }
        if (!playing_) {
            // Silence while the first audio waits out the cushion.
            if (ring_.readable() == 0 || waited_ < cushion_) {
                waited_ += ring_.readable() == 0 ? 0 : frames;
                std::fill(out, out + frames * static_cast<std::size_t>(channels_), 0.0f);
                return;
            }
            playing_ = true;
            waited_ = 0;
            restartTrimWindow();
        }
        if (giveToCard(out, frames) < frames) {
            // Ran dry: a gap in the sound (or its end); wait longer before
            // playing again.
            trouble_.playbackGaps.fetch_add(1, std::memory_order_relaxed);
            playing_ = false;
            cushion_ = std::min(cushion_ + cushionStep_, cushionLimit_);
            return;
        }
        lowest_ = std::min(lowest_, ring_.readable());
        windowPlayed_ += frames;
        if (windowPlayed_ >= trimWindow_) {
            if (lowest_ > cushion_ + trimAbove_) {
                ring_.discard(lowest_ - cushion_);
                trouble_.latencyTrims.fetch_add(1, std::memory_order_relaxed);
            }
            restartTrimWindow();
        }
    }

    void restartTrimWindow() {
        lowest_ = std::numeric_limits<std::size_t>::max();
        windowPlayed_ = 0;
    }

    std::vector<float> in_;
    std::vector<float> out_;
    // The callback's own: frames of silence the card plays while audio waits
    // in the ring before it plays that audio.
    std::size_t cushion_;
    const std::size_t cushionStep_, cushionLimit_;
    const std::size_t trimWindow_, trimAbove_;
    // The callback's own: the least the ring held after a callback in the
    // current trim window, and the frames played in it.
    std::size_t lowest_ = std::numeric_limits<std::size_t>::max();
    std::size_t windowPlayed_ = 0;
    bool playing_ = false;    // the callback's own: false while the cushion runs,
    std::size_t waited_ = 0;  // for so many frames so far
    bool restart_ = false;    // halted: start the stream with the next write
    std::size_t feedPos_ = 0; // samples of the first unfed header already in the ring
};

// A whole sound file held in memory, played once by the callback.
struct OneShot {
    std::vector<float> samples;
    std::size_t pos = 0; // touched only by the callback while the stream runs
    int channels = 1;

    static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags, void* user) {
        auto* self = static_cast<OneShot*>(user);
        auto* out = static_cast<float*>(output);
        const std::size_t n = std::min<std::size_t>(frames, self->samples.size() - self->pos);
        for (std::size_t i = 0; i < frames; ++i) {
            const float v = i < n ? self->samples[self->pos + i] : 0.0f;
            for (int c = 0; c < self->channels; ++c) {
                out[i * static_cast<std::size_t>(self->channels) + static_cast<std::size_t>(c)] = v;
            }
        }
        self->pos += n;
        return self->pos >= self->samples.size() ? paComplete : paContinue;
    }
};

} // namespace

namespace {

template <typename CardEngine>
std::unique_ptr<CardEngine> makeCard(int paDevice, bool input, Waker& waker, TroubleCounters& trouble,
                                     AudioResult& error) {
    PaStreamParameters params;
    double rate = 0;
    if (!chooseFormat(paDevice, input, params, rate)) {
        error = WAVERR_BADFORMAT;
        return nullptr;
    }
    auto engine = std::make_unique<CardEngine>(waker, trouble, rate, params.channelCount);
    if (!engine->open(params, rate, input)) {
        error = MMSYSERR_ERROR;
        return nullptr;
    }
    return engine;
}

} // namespace

std::unique_ptr<Engine> makeCardCapture(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error) {
    return makeCard<CardCaptureEngine>(paDevice, true, waker, trouble, error);
}

std::unique_ptr<Engine> makeCardPlayback(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error) {
    auto engine = makeCard<CardPlaybackEngine>(paDevice, false, waker, trouble, error);
    if (engine && !engine->start()) {
        error = MMSYSERR_ERROR;
        return nullptr;
    }
    return engine;
}

bool playFileOnCard(int paDevice, const std::string& path) {
    if (paDevice < 0) {
        return false;
    }
    PaStreamParameters params;
    double rate = 0;
    if (!chooseFormat(paDevice, false, params, rate)) {
        return false;
    }
    MonoFileReader reader;
    if (!reader.open(path, static_cast<int>(rate))) {
        return false;
    }
    // A notification sound is short; a minute bounds memory and waiting.
    const auto limit = static_cast<std::size_t>(rate * 60.0);
    OneShot shot;
    shot.channels = params.channelCount;
    std::array<float, 4096> chunk;
    for (;;) {
        const std::size_t n = reader.read(chunk.data(), chunk.size());
        shot.samples.insert(shot.samples.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size() || shot.samples.size() >= limit) {
            break;
        }
    }
    if (shot.samples.size() > limit) {
        shot.samples.resize(limit);
    }
    if (shot.samples.empty()) {
        return true;
    }
    PaStream* stream = nullptr;
    if (Pa_OpenStream(&stream, nullptr, &params, rate, paFramesPerBufferUnspecified, paClipOff, &OneShot::callback,
                      &shot) != paNoError) {
        return false;
    }
    if (Pa_StartStream(stream) != paNoError) {
        Pa_CloseStream(stream);
        return false;
    }
    const auto duration = std::chrono::duration<double>(static_cast<double>(shot.samples.size()) / rate);
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(duration) + std::chrono::seconds(2);
    bool finished = false;
    while (Clock::now() < deadline) {
        const PaError active = Pa_IsStreamActive(stream);
        if (active != 1) {
            finished = active == 0;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Pa_AbortStream(stream); // joins the callback before `shot` goes away
    Pa_CloseStream(stream);
    return finished;
}

} // namespace platform::audio
