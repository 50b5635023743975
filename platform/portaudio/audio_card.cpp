// Sound-card devices on PortAudio. The card's callback only moves float
// samples through a lock-free ring and wakes the device's worker; rate
// conversion to and from 8000 Hz and all header handling happen in the
// worker.

#include "platform/portaudio/cards.h"
#include "platform/filedev/file_reader.h"

#include <portaudio.h>
#include <samplerate.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

namespace platform::audio {

namespace {

constexpr std::size_t workChunk = 2048; // samples converted per step

// Sound a playback stream gathers before the card plays it, at its start and
// after it ran dry, seconds. The blocks arrive whole and in bursts (capture
// and processing hand them on at their own pace), and without a cushion the
// card caught up with them several times a second on PulseAudio: a gap each
// time, and each gap delayed the rest of the sound for good. It starts at
// one 20 ms block, which is enough on a quiet machine, and grows by 10 ms
// with each gap up to 60 ms, so that a busy machine stops gapping at the
// cost of a longer delay than the operator would otherwise hear.
constexpr double cushionSeconds = 0.02;
constexpr double cushionStepSeconds = 0.01;
constexpr double cushionLimitSeconds = 0.06;

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
    // 10 ms); the station's 20 ms blocks reach the card in bursts, which the
    // playback cushion absorbs instead. With the high latency (about 35 ms
    // on PulseAudio) a click took 75 ms beyond the filter's delay from a
    // receiver sink to a speaker sink; with the low one, 40 ms.
    params.suggestedLatency = input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
    const int maxChannels = input ? info->maxInputChannels : info->maxOutputChannels;
    const std::array<double, 7> rates = {8000.0, info->defaultSampleRate, 48000.0, 44100.0, 16000.0, 32000.0, 22050.0};
    for (int channels = 1; channels <= std::min(maxChannels, 2); ++channels) {
        params.channelCount = channels;
        for (const double r : rates) {
            if (r < 1000.0) {
                continue;
            }
            const PaError e = input ? Pa_IsFormatSupported(&params, nullptr, r) : Pa_IsFormatSupported(nullptr, &params, r);
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

class CardCaptureEngine final : public Engine {
public:
    CardCaptureEngine(Waker& waker, TroubleCounters& trouble, double rate, int channels)
        : waker_(waker), trouble_(trouble), channels_(channels), ring_(ringCapacityFor(rate, 2.0)), in_(workChunk), out_(workChunk) {
        resample_ = rate != stationRate;
    }
    ~CardCaptureEngine() override {
        if (stream_ != nullptr) {
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
        }
    }
    CardCaptureEngine(const CardCaptureEngine&) = delete;
    CardCaptureEngine& operator=(const CardCaptureEngine&) = delete;

    bool open(const PaStreamParameters& params, double rate) {
        if (resample_ && !conv_.init(stationRate / rate, SRC_SINC_FASTEST)) {
            return false;
        }
        return Pa_OpenStream(&stream_, &params, nullptr, rate, paFramesPerBufferUnspecified, paClipOff, &callback,
                             this) == paNoError;
    }

    AudioResult begin(Clock::time_point) override {
        ring_.discardAll();
        conv_.reset();
        inPos_ = inLen_ = 0;
        if (Pa_IsStreamActive(stream_) == 1) {
            return MMSYSERR_NOERROR;
        }
        return Pa_StartStream(stream_) == paNoError ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
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
    static int callback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<CardCaptureEngine*>(user);
        if ((flags & paInputOverflow) != 0) {
            self->trouble_.inputOverflows.fetch_add(1, std::memory_order_relaxed);
        }
        const auto* in = static_cast<const float*>(input);
        if (in != nullptr) {
            if (self->channels_ == 1) {
                self->ring_.write(in, frames);
            } else {
                std::array<float, 256> mono;
                for (unsigned long done = 0; done < frames;) {
                    const unsigned long n = std::min<unsigned long>(frames - done, mono.size());
                    for (unsigned long i = 0; i < n; ++i) {
                        const float* f = in + (done + i) * static_cast<unsigned long>(self->channels_);
                        mono[i] = 0.5f * (f[0] + f[1]);
                    }
                    self->ring_.write(mono.data(), n);
                    done += n;
                }
            }
        }
        self->waker_.release();
        return paContinue;
    }

    Waker& waker_;
    TroubleCounters& trouble_;
    int channels_;
    bool resample_ = false;
    PaStream* stream_ = nullptr;
    SpscRing ring_;
    Resampler conv_;
    std::vector<float> in_;
    std::size_t inPos_ = 0, inLen_ = 0;
    std::vector<float> out_;
};

class CardPlaybackEngine final : public Engine {
public:
    CardPlaybackEngine(Waker& waker, TroubleCounters& trouble, double rate, int channels)
        : waker_(waker), trouble_(trouble), channels_(channels), ring_(ringCapacityFor(rate, 0.5)), in_(workChunk) {
        resample_ = rate != stationRate;
        cushion_ = static_cast<std::size_t>(rate * cushionSeconds);
        cushionStep_ = static_cast<std::size_t>(rate * cushionStepSeconds);
        cushionLimit_ = static_cast<std::size_t>(rate * cushionLimitSeconds);
        out_.resize(workChunk * static_cast<std::size_t>(rate / stationRate + 1.0) + 16);
    }
    ~CardPlaybackEngine() override {
        if (stream_ != nullptr) {
            Pa_AbortStream(stream_);
            Pa_CloseStream(stream_);
        }
    }
    CardPlaybackEngine(const CardPlaybackEngine&) = delete;
    CardPlaybackEngine& operator=(const CardPlaybackEngine&) = delete;

    bool open(const PaStreamParameters& params, double rate) {
        if (resample_ && !conv_.init(rate / stationRate, SRC_SINC_FASTEST)) {
            return false;
        }
        if (Pa_OpenStream(&stream_, nullptr, &params, rate, paFramesPerBufferUnspecified, paClipOff, &callback,
                          this) != paNoError) {
            return false;
        }
        Pa_SetStreamFinishedCallback(stream_, &finished);
        // The card runs from open to close, playing silence while nothing
        // is queued, like a waveform output device.
        return Pa_StartStream(stream_) == paNoError;
    }

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
            ended_.store(false, std::memory_order_relaxed);
            if (Pa_StartStream(stream_) != paNoError) {
                ended_.store(true, std::memory_order_relaxed);
            }
        }
        // Only this flag, and no call into PortAudio: a stream whose card
        // went quiet for good holds PortAudio's state lock while it waits.
        if (ended_.load(std::memory_order_acquire)) {
            // The card failed (a USB card pulled out, a sound-server sink
            // removed): it plays into nothing, at once, so that the caller's
            // queue keeps moving until it closes the device.
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
                    const auto s = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[b] | (bytes[b + 1] << 8)));
                    in_[i] = static_cast<float>(s) / 32768.0f;
                }
                std::size_t taken = 0;
                if (!resample_) {
                    taken = ring_.write(in_.data(), n);
                } else {
                    const long room = static_cast<long>(std::min(out_.size(), ring_.writable()));
                    long used = 0;
                    const long produced = conv_.process(in_.data(), static_cast<long>(n), out_.data(), room, used, false);
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
    static void finished(void* user) {
        static_cast<CardPlaybackEngine*>(user)->ended_.store(true, std::memory_order_release);
    }

    static int callback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                        PaStreamCallbackFlags flags, void* user) {
        auto* self = static_cast<CardPlaybackEngine*>(user);
        if ((flags & paOutputUnderflow) != 0) {
            self->trouble_.outputUnderflows.fetch_add(1, std::memory_order_relaxed);
        }
        auto* out = static_cast<float*>(output);
        const std::size_t samples = frames * static_cast<std::size_t>(self->channels_);
        if (!self->playing_) {
            // Silence until a cushion has gathered, so that the blocks
            // arriving at their own pace keep ahead of the card; a sound
            // shorter than the cushion plays once it has waited as long.
            const std::size_t waiting = self->ring_.readable();
            if (waiting < self->cushion_ && (waiting == 0 || self->waited_ < self->cushion_)) {
                self->waited_ += waiting == 0 ? 0 : frames;
                std::fill(out, out + samples, 0.0f);
                self->waker_.release();
                return paContinue;
            }
            self->playing_ = true;
            self->waited_ = 0;
        }
        std::size_t got = 0;
        if (self->channels_ == 1) {
            got = self->ring_.read(out, frames);
            std::fill(out + got, out + frames, 0.0f);
        } else {
            std::array<float, 256> mono;
            for (unsigned long done = 0; done < frames;) {
                const unsigned long n = std::min<unsigned long>(frames - done, mono.size());
                const std::size_t part = self->ring_.read(mono.data(), n);
                std::fill(mono.begin() + static_cast<std::ptrdiff_t>(part), mono.begin() + static_cast<std::ptrdiff_t>(n), 0.0f);
                for (unsigned long i = 0; i < n; ++i) {
                    float* f = out + (done + i) * static_cast<unsigned long>(self->channels_);
                    f[0] = f[1] = mono[i];
                }
                got += part;
                done += n;
            }
        }
        if (got < frames) {
            // Ran dry: a gap in the sound (or its end); gather a larger
            // cushion again.
            self->trouble_.playbackGaps.fetch_add(1, std::memory_order_relaxed);
            self->playing_ = false;
            self->cushion_ = std::min(self->cushion_ + self->cushionStep_, self->cushionLimit_);
        }
        self->waker_.release();
        return paContinue;
    }

    Waker& waker_;
    TroubleCounters& trouble_;
    int channels_;
    bool resample_ = false;
    PaStream* stream_ = nullptr;
    SpscRing ring_;
    Resampler conv_;
    std::vector<float> in_;
    std::vector<float> out_;
    std::size_t cushion_ = 0; // the callback's own: frames the ring holds before the card plays them
    std::size_t cushionStep_ = 0, cushionLimit_ = 0;
    bool playing_ = false;    // the callback's own: false while a cushion gathers,
    std::size_t waited_ = 0;  // for so many frames
    bool restart_ = false;    // halted: start the stream with the next write
    // Set when the stream stopped: by halt, or by itself when its card failed.
    std::atomic<bool> ended_{false};
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

std::unique_ptr<Engine> makeCardCapture(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error) {
    PaStreamParameters params;
    double rate = 0;
    if (!chooseFormat(paDevice, true, params, rate)) {
        error = WAVERR_BADFORMAT;
        return nullptr;
    }
    auto engine = std::make_unique<CardCaptureEngine>(waker, trouble, rate, params.channelCount);
    if (!engine->open(params, rate)) {
        error = MMSYSERR_ERROR;
        return nullptr;
    }
    return engine;
}

std::unique_ptr<Engine> makeCardPlayback(int paDevice, Waker& waker, TroubleCounters& trouble, AudioResult& error) {
    PaStreamParameters params;
    double rate = 0;
    if (!chooseFormat(paDevice, false, params, rate)) {
        error = WAVERR_BADFORMAT;
        return nullptr;
    }
    auto engine = std::make_unique<CardPlaybackEngine>(waker, trouble, rate, params.channelCount);
    if (!engine->open(params, rate)) {
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
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(duration) + std::chrono::seconds(2);
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
