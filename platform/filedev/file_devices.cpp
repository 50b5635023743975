// The device building blocks shared by all media, and the file devices.

#include "platform/core/audio_engine.h"

#include <sndfile.h>
#include <samplerate.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace platform::audio {

Waker::Waker() { ::sem_init(&semaphore_, 0, 0); }

Waker::~Waker() { ::sem_destroy(&semaphore_); }

void Waker::release() { ::sem_post(&semaphore_); }

void Waker::try_acquire_until(Clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC.
    const auto sinceEpoch = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec until{};
    until.tv_sec = static_cast<time_t>(seconds.count());
    until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - seconds).count());
    while (::sem_clockwait(&semaphore_, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
    }
}

Clock::duration blockDuration(std::size_t samples, int speed) {
    const auto ns = static_cast<std::int64_t>(samples) * 1'000'000'000LL /
                    (static_cast<std::int64_t>(stationRate) * std::max(speed, 1));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

void HeaderQueue::push(WaveHeader* h) {
    h->next_ = nullptr;
    if (tail_ == nullptr) {
        head_ = tail_ = h;
    } else {
        tail_->next_ = h;
        tail_ = h;
    }
}

WaveHeader* HeaderQueue::pop() {
    WaveHeader* h = head_;
    if (h != nullptr) {
        head_ = h->next_;
        if (head_ == nullptr) {
            tail_ = nullptr;
        }
        h->next_ = nullptr;
    }
    return h;
}

void DeviceCore::completeFront() {
    if (WaveHeader* h = queue.pop()) {
        h->state_ = WaveHeader::State::Returning;
        returning.push(h);
    }
}

SpscRing::SpscRing(std::size_t capacityPow2) : buf_(capacityPow2), mask_(capacityPow2 - 1) {}

std::size_t SpscRing::readable() const {
    return static_cast<std::size_t>(write_.load(std::memory_order_acquire) - read_.load(std::memory_order_relaxed));
}

std::size_t SpscRing::writable() const {
    return buf_.size() -
           static_cast<std::size_t>(write_.load(std::memory_order_relaxed) - read_.load(std::memory_order_acquire));
}

std::size_t SpscRing::write(const float* src, std::size_t n) {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    n = std::min(n, writable());
    for (std::size_t i = 0; i < n; ++i) {
        buf_[static_cast<std::size_t>(w + i) & mask_] = src[i];
    }
    write_.store(w + n, std::memory_order_release); // publishes the samples
    return n;
}

std::size_t SpscRing::read(float* dst, std::size_t n) {
    const std::uint64_t r = read_.load(std::memory_order_relaxed);
    n = std::min(n, readable());
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = buf_[static_cast<std::size_t>(r + i) & mask_];
    }
    read_.store(r + n, std::memory_order_release); // hands the slots back
    return n;
}

void SpscRing::discardAll() {
    read_.store(write_.load(std::memory_order_acquire), std::memory_order_release);
}

std::int16_t floatToPcm16(float x) {
    // A float file may hold NaN; it carries no sound, and converting it to an
    // integer would be undefined, so it becomes silence.
    if (std::isnan(x)) {
        return 0;
    }
    const float scaled = std::nearbyint(x * 32768.0f);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

Resampler::~Resampler() {
    if (state_ != nullptr) {
        src_delete(state_);
    }
}

bool Resampler::init(double ratio, int converterType) {
    if (state_ != nullptr) {
        src_delete(state_);
    }
    int error = 0;
    state_ = src_new(converterType, 1, &error);
    ratio_ = ratio;
    return state_ != nullptr && src_is_valid_ratio(ratio) != 0;
}

long Resampler::process(const float* in, long inFrames, float* out, long outCapacity, long& used, bool endOfInput) {
    SRC_DATA d{};
    d.data_in = in;
    d.input_frames = inFrames;
    d.data_out = out;
    d.output_frames = outCapacity;
    d.end_of_input = endOfInput ? 1 : 0;
    d.src_ratio = ratio_;
    if (state_ == nullptr || src_process(state_, &d) != 0) {
        used = inFrames; // a converter fault drops the input rather than stalling
        return 0;
    }
    used = d.input_frames_used;
    return d.output_frames_gen;
}

void Resampler::reset() {
    if (state_ != nullptr) {
        src_reset(state_);
    }
}

namespace {
constexpr std::size_t readerChunkFrames = 1024;
}

MonoFileReader::~MonoFileReader() {
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

bool MonoFileReader::open(const std::string& path, int targetRate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    return adopt(file, info.channels, info.samplerate, info.frames, targetRate);
}

bool MonoFileReader::open(std::span<const std::uint8_t> bytes, int targetRate) {
    memory_ = MemoryFile{bytes.data(), static_cast<std::int64_t>(bytes.size()), 0};
    // The callbacks behave like a read-only file: seeks stay inside it,
    // reads stop at its end, writes take nothing.
    SF_VIRTUAL_IO io{ // copied by libsndfile
        .get_filelen = [](void* user) -> sf_count_t { return static_cast<MemoryFile*>(user)->size; },
        .seek = [](sf_count_t offset, int whence, void* user) -> sf_count_t {
            auto& m = *static_cast<MemoryFile*>(user);
            const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m.position : m.size;
            if ((offset > 0 && base > m.size - offset) || base + offset < 0) {
                return -1;
            }
            m.position = base + offset;
            return m.position;
        },
        .read = [](void* to, sf_count_t count, void* user) -> sf_count_t {
            auto& m = *static_cast<MemoryFile*>(user);
            const sf_count_t n = std::clamp<sf_count_t>(count, 0, m.size - m.position);
            std::copy_n(m.data + m.position, n, static_cast<std::uint8_t*>(to));
            m.position += n;
            return n;
        },
        .write = [](const void*, sf_count_t, void*) -> sf_count_t { return 0; },
        .tell = [](void* user) -> sf_count_t { return static_cast<MemoryFile*>(user)->position; },
    };
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, &memory_);
    return adopt(file, info.channels, info.samplerate, info.frames, targetRate);
}

bool MonoFileReader::adopt(SNDFILE* file, int channels, int fileRate, std::int64_t frames, int targetRate) {
    file_ = file;
    if (file_ == nullptr || channels < 1 || fileRate < 1 || targetRate < 1) {
        return false; // the destructor closes what was opened
    }
    channels_ = channels;
    fileRate_ = fileRate;
    fileFrames_ = frames;
    interleaved_.resize(readerChunkFrames * static_cast<std::size_t>(channels_));
    mono_.resize(readerChunkFrames);
    resample_ = fileRate_ != targetRate;
    if (resample_) {
        const double ratio = static_cast<double>(targetRate) / fileRate_;
        if (!converter_.init(ratio, SRC_SINC_FASTEST)) {
            return false;
        }
        out_.resize(static_cast<std::size_t>(std::ceil(readerChunkFrames * ratio)) + 16);
    } else {
        out_.resize(readerChunkFrames);
    }
    return true;
}

bool MonoFileReader::refill() {
    const auto readMono = [this](float* dst) -> std::size_t {
        const sf_count_t got =
            sf_readf_float(file_, interleaved_.data(), static_cast<sf_count_t>(readerChunkFrames));
        const std::size_t frames = got > 0 ? static_cast<std::size_t>(got) : 0;
        if (frames < readerChunkFrames) {
            fileDone_ = true;
        }
        for (std::size_t f = 0; f < frames; ++f) {
            float sum = 0.0f;
            for (int c = 0; c < channels_; ++c) {
                sum += interleaved_[f * static_cast<std::size_t>(channels_) + static_cast<std::size_t>(c)];
            }
            dst[f] = sum / static_cast<float>(channels_);
        }
        return frames;
    };

    outPos_ = outLen_ = 0;
    if (!resample_) {
        if (!fileDone_) {
            outLen_ = readMono(out_.data());
        }
        ended_ = outLen_ == 0;
        return !ended_;
    }
    if (monoPos_ == monoLen_ && !fileDone_) {
        monoPos_ = 0;
        monoLen_ = readMono(mono_.data());
    }
    long used = 0;
    const long produced = converter_.process(mono_.data() + monoPos_, static_cast<long>(monoLen_ - monoPos_),
                                             out_.data(), static_cast<long>(out_.size()), used, fileDone_);
    monoPos_ += static_cast<std::size_t>(used);
    outLen_ = static_cast<std::size_t>(std::max(produced, 0L));
    if (outLen_ == 0 && fileDone_ && monoPos_ == monoLen_) {
        ended_ = true;
    }
    return !ended_;
}

std::size_t MonoFileReader::read(float* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n && file_ != nullptr) {
        if (outPos_ < outLen_) {
            const std::size_t k = std::min(n - got, outLen_ - outPos_);
            std::copy_n(out_.data() + outPos_, k, out + got);
            outPos_ += k;
            got += k;
        } else if (ended_ || !refill()) {
            break;
        }
    }
    return got;
}

int fileSpeedFromEnvironment() {
    const char* text = std::getenv("SELVANE_SPEED");
    if (text == nullptr || *text == '\0') {
        return 1;
    }
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < 1) {
        return 1;
    }
    return static_cast<int>(std::min(n, 1'000'000L));
}

namespace {

constexpr std::size_t scratchSamples = 4096;

// Real-time pacing of a file device: each buffer is finished one buffer
// duration (divided by the speed) after the previous one, or after it was
// queued when the device had run dry. Deadlines follow each other exactly,
// so wake-up jitter does not accumulate into drift.
class Pacer {
public:
    explicit Pacer(int speed) : speed_(speed) {}
    void restart(Clock::time_point now, bool running) {
        last_ = now;
        continuous_ = running;
        armed_ = false;
    }
    // Deadline of the buffer at the front, of `samples` samples.
    Clock::time_point deadline(std::size_t samples, Clock::time_point now) {
        if (!armed_) {
            deadline_ = (continuous_ ? last_ : now) + blockDuration(samples, speed_);
            armed_ = true;
        }
        return deadline_;
    }
    void finished(bool moreQueued) {
        last_ = deadline_;
        armed_ = false;
        continuous_ = moreQueued;
    }

private:
    int speed_;
    Clock::time_point last_{};
    Clock::time_point deadline_{};
    bool continuous_ = false;
    bool armed_ = false;
};

constexpr auto idleWait = std::chrono::seconds(1);

class FileCaptureEngine final : public Engine {
public:
    FileCaptureEngine(int speed) : pacer_(speed), scratch_(scratchSamples) {}
    MonoFileReader reader;

    AudioResult begin(Clock::time_point now) override {
        pacer_.restart(now, true);
        return MMSYSERR_NOERROR;
    }
    void halt() override { pacer_.restart(Clock::time_point{}, false); }
    bool servesBuffersBehindOthers() const override { return false; }

    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        while (core.started && !core.queue.empty()) {
            WaveHeader* h = core.queue.front();
            const std::size_t samples = h->bufferLength / 2;
            const Clock::time_point due = pacer_.deadline(samples, now);
            if (now < due) {
                return due;
            }
            fill(*h, samples);
            core.completeFront();
            pacer_.finished(!core.queue.empty());
        }
        return now + idleWait;
    }

private:
    // The file's samples, then silence once it has ended.
    void fill(WaveHeader& h, std::size_t samples) {
        auto* bytes = reinterpret_cast<unsigned char*>(h.data);
        for (std::size_t done = 0; done < samples;) {
            const std::size_t want = std::min(samples - done, scratch_.size());
            const std::size_t got = reader.read(scratch_.data(), want);
            std::fill(scratch_.begin() + static_cast<std::ptrdiff_t>(got),
                      scratch_.begin() + static_cast<std::ptrdiff_t>(want), 0.0f);
            for (std::size_t i = 0; i < want; ++i) {
                const auto s = static_cast<std::uint16_t>(floatToPcm16(scratch_[i]));
                bytes[2 * (done + i)] = static_cast<unsigned char>(s & 0xFF);
                bytes[2 * (done + i) + 1] = static_cast<unsigned char>(s >> 8);
            }
            done += want;
        }
        h.bytesRecorded = static_cast<std::uint32_t>(samples * 2);
    }

    Pacer pacer_;
    std::vector<float> scratch_;
};

class FilePlaybackEngine final : public Engine {
public:
    // `file` may be null: the recording could not be created, and the
    // device plays into nothing at the same pace.
    FilePlaybackEngine(SNDFILE* file, int speed) : file_(file), pacer_(speed), scratch_(scratchSamples) {}
    ~FilePlaybackEngine() override {
        if (file_ != nullptr) {
            sf_close(file_);
        }
    }
    FilePlaybackEngine(const FilePlaybackEngine&) = delete;
    FilePlaybackEngine& operator=(const FilePlaybackEngine&) = delete;

    void halt() override { pacer_.restart(Clock::time_point{}, false); }
    bool servesBuffersBehindOthers() const override { return false; }

    Clock::time_point service(DeviceCore& core, Clock::time_point now) override {
        while (!core.queue.empty()) {
            WaveHeader* h = core.queue.front();
            const std::size_t samples = h->bufferLength / 2;
            const Clock::time_point due = pacer_.deadline(samples, now);
            if (now < due) {
                return due;
            }
            store(*h, samples);
            core.completeFront();
            pacer_.finished(!core.queue.empty());
        }
        return now + idleWait;
    }

private:
    // A buffer reaches the file when it has been "played"; the header is
    // rewritten with every write, so the file stays valid at any moment.
    void store(const WaveHeader& h, std::size_t samples) {
        if (file_ == nullptr) {
            return;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(h.data);
        for (std::size_t done = 0; done < samples;) {
            const std::size_t n = std::min(samples - done, scratch_.size());
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t b = 2 * (done + i);
                scratch_[i] = static_cast<short>(static_cast<std::uint16_t>(bytes[b] | (bytes[b + 1] << 8)));
            }
            if (sf_write_short(file_, scratch_.data(), static_cast<sf_count_t>(n)) != static_cast<sf_count_t>(n) &&
                !writeFailed_) {
                writeFailed_ = true; // told once: a full disk would say it fifty times a second
                std::fprintf(stderr, "SELVANE_OUTPUT: %s; the recording stops growing here\n", sf_strerror(file_));
            }
            done += n;
        }
    }

    SNDFILE* file_;
    bool writeFailed_ = false;
    Pacer pacer_;
    std::vector<short> scratch_;
};

} // namespace

namespace {

template <typename Source>
std::unique_ptr<Engine> makeFileCaptureFrom(const Source& source, int speed, AudioResult& error) {
    auto engine = std::make_unique<FileCaptureEngine>(speed);
    if (!engine->reader.open(source, stationRate)) {
        error = MMSYSERR_ERROR;
        return nullptr;
    }
    return engine;
}

} // namespace

std::unique_ptr<Engine> makeFileCapture(const std::string& path, int speed, AudioResult& error) {
    return makeFileCaptureFrom(path, speed, error);
}

std::unique_ptr<Engine> makeFileCapture(std::span<const std::uint8_t> bytes, int speed, AudioResult& error) {
    return makeFileCaptureFrom(bytes, speed, error);
}

std::unique_ptr<Engine> makeFilePlayback(const std::string& path, bool append, int speed) {
    SNDFILE* file = nullptr;
    if (append) {
        SF_INFO info{};
        file = sf_open(path.c_str(), SFM_RDWR, &info);
        const bool ours = file != nullptr && info.samplerate == stationRate && info.channels == 1 &&
                          info.format == (SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        if (ours && sf_seek(file, 0, SEEK_END) >= 0) {
            // continue after the earlier recording
        } else if (file != nullptr) {
            sf_close(file);
            file = nullptr;
        }
    }
    if (file == nullptr) {
        SF_INFO info{};
        info.samplerate = stationRate;
        info.channels = 1;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        file = sf_open(path.c_str(), SFM_WRITE, &info);
    }
    // The file stands in for a sound card: a recording that cannot be kept
    // (read-only folder, full disk) is told about but does not take the
    // device away from the station.
    if (file == nullptr) {
        std::fprintf(stderr, "SELVANE_OUTPUT: cannot write \"%s\": %s; playing into nothing\n", path.c_str(),
                     sf_strerror(nullptr));
    } else {
        sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    }
    return std::make_unique<FilePlaybackEngine>(file, speed);
}

} // namespace platform::audio
