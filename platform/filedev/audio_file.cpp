#include "platform/audio_file.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/core/audio_engine.h"
#include "platform/filedev/file_reader.h"

namespace platform {

namespace {
constexpr int maxRate = 384000;
constexpr std::size_t chunkSamples = 1024;
} // namespace

struct SoundFileReader::Impl {
    audio::MonoFileReader reader;
    std::vector<float> scratch = std::vector<float>(chunkSamples);
    double seconds = 0.0;
};

SoundFileReader::SoundFileReader() : impl_(std::make_unique<Impl>()) {}
SoundFileReader::~SoundFileReader() = default;

bool SoundFileReader::open(const std::string& path, int rate, std::string& error) {
    impl_ = std::make_unique<Impl>();
    if (rate < 1 || rate > maxRate) {
        error = "unsupported sample rate";
        return false;
    }
    // libsndfile's own message for a file that cannot be opened at all is
    // "System error : …"; the plain reason reads better. A pipe or FIFO is
    // left to libsndfile untouched: probing it would take its first bytes.
    std::error_code status;
    const std::filesystem::file_status kind = std::filesystem::status(path, status);
    if (status) {
        error = status.message();
        return false;
    }
    if (std::filesystem::is_directory(kind)) {
        error = std::strerror(EISDIR);
        return false;
    }
    if (std::filesystem::is_regular_file(kind)) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            error = std::strerror(errno);
            return false;
        }
        std::fclose(f);
    }
    if (!impl_->reader.open(path, rate)) {
        const char* why = sf_strerror(nullptr);
        error = why != nullptr && std::strcmp(why, "No Error.") != 0 ? why : "unsupported audio data";
        return false;
    }
    const int fileRate = impl_->reader.fileRate();
    impl_->seconds = fileRate > 0 && impl_->reader.fileFrames() > 0
                         ? static_cast<double>(impl_->reader.fileFrames()) / fileRate
                         : 0.0;
    return true;
}

double SoundFileReader::durationSeconds() const { return impl_->seconds; }

std::size_t SoundFileReader::read(std::int16_t* out, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        const std::size_t want = std::min(n - got, impl_->scratch.size());
        const std::size_t k = impl_->reader.read(impl_->scratch.data(), want);
        for (std::size_t i = 0; i < k; ++i) {
            out[got + i] = audio::floatToPcm16(impl_->scratch[i]);
        }
        got += k;
        if (k < want) {
            break;
        }
    }
    return got;
}

struct StreamResampler::Impl {
    audio::Resampler converter;
    bool copy = true;
    std::vector<float> in;
    std::vector<float> out;
};

StreamResampler::StreamResampler() : impl_(std::make_unique<Impl>()) {}
StreamResampler::~StreamResampler() = default;

bool StreamResampler::init(int inputRate, int outputRate) {
    impl_ = std::make_unique<Impl>();
    if (inputRate < 1 || inputRate > maxRate || outputRate < 1 || outputRate > maxRate) {
        return false;
    }
    impl_->copy = inputRate == outputRate;
    return impl_->copy || impl_->converter.init(static_cast<double>(outputRate) / inputRate, SRC_SINC_FASTEST);
}

void StreamResampler::process(std::span<const std::int16_t> in, bool endOfInput, std::vector<std::int16_t>& out) {
    Impl& s = *impl_;
    if (s.copy) {
        out.insert(out.end(), in.begin(), in.end());
        return;
    }
    s.in.resize(in.size());
    std::transform(in.begin(), in.end(), s.in.begin(), [](std::int16_t x) { return static_cast<float>(x) / 32768.0F; });
    const double ratio = s.converter.ratio();
    s.out.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(chunkSamples) * ratio)) + 64);
    std::size_t pos = 0;
    // The converter takes the input in bites and, at the end, may hold
    // output back until asked again with nothing new.
    for (;;) {
        const std::size_t n = std::min(chunkSamples, in.size() - pos);
        const bool last = endOfInput && pos + n == in.size();
        long used = 0;
        const long made = s.converter.process(s.in.data() + pos, static_cast<long>(n), s.out.data(),
                                              static_cast<long>(s.out.size()), used, last);
        pos += static_cast<std::size_t>(std::clamp<long>(used, 0, static_cast<long>(n)));
        for (long i = 0; i < made; ++i) {
            out.push_back(audio::floatToPcm16(s.out[static_cast<std::size_t>(i)]));
        }
        const bool stalled = used <= 0 && made <= 0;
        if (pos < in.size() ? stalled : (!last || made <= 0)) {
            break;
        }
    }
}

} // namespace platform
