#pragma once
// Audio files read as mono float samples at a chosen rate, and the rate
// converter under it (libsndfile and libsamplerate, kept out of the header).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct sf_private_tag;
struct SRC_STATE_tag;

namespace platform::audio {

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
    std::vector<float> mono_; // converter input, mono_[monoPos_ … monoLen_)
    std::size_t monoPos_ = 0, monoLen_ = 0;
    std::vector<float> out_; // converted, out_[outPos_ … outLen_)
    std::size_t outPos_ = 0, outLen_ = 0;
};

} // namespace platform::audio
