// Audio files read as mono at the station's rate (libsndfile, libsamplerate).

#include "platform/filedev/file_reader.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::audio {

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
    SF_VIRTUAL_IO io{
        // copied by libsndfile
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
        const sf_count_t got = sf_readf_float(file_, interleaved_.data(), static_cast<sf_count_t>(readerChunkFrames));
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

} // namespace platform::audio
