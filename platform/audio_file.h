#pragma once
// Audio files and streams for programs that work on recordings rather than
// on devices: any file libsndfile reads, and a raw stream at any rate, both
// converted to 16-bit mono at the rate the caller works at.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

// Reads a sound file of any format, rate and channel count as 16-bit mono
// at `rate`, channels averaged, resampled with libsamplerate. Buffers are
// allocated at open; read() allocates nothing.
class SoundFileReader {
  public:
    SoundFileReader();
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // `rate`: samples per second wanted, 1 … 384000. False, with `error` set
    // to a one-line reason ("No such file or directory", "Format not
    // recognised."), when the file cannot be read as sound.
    bool open(const std::string& path, int rate, std::string& error);
    // Length of the file in seconds, as its header tells; 0 when unknown.
    double durationSeconds() const;
    // Fills up to n samples; returns fewer only at the end of the file (or
    // where a read error cuts it short).
    std::size_t read(std::int16_t* out, std::size_t n);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Converts a stream of 16-bit mono samples from one rate to another as it
// arrives (libsamplerate's fastest sinc converter; a plain copy when the
// rates are equal).
class StreamResampler {
  public:
    StreamResampler();
    ~StreamResampler();
    StreamResampler(const StreamResampler&) = delete;
    StreamResampler& operator=(const StreamResampler&) = delete;

    // Rates in samples per second, each 1 … 384000, their ratio within
    // 1/256 … 256. False when the converter refuses them.
    bool init(int inputRate, int outputRate);
    // Converts `in` and appends what it yields to `out`; `endOfInput` also
    // drains what the converter still holds.
    void process(std::span<const std::int16_t> in, bool endOfInput, std::vector<std::int16_t>& out);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
