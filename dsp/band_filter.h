#pragma once
// The station's CW band-pass filter: a Hamming-windowed difference of two
// ideal low-pass responses, streamed sample by sample over a linear history.
//
// Threads: one thread designs (the main thread: band keys, wheel, local-link
// SetBand, network Settings) while another pushes (the processing thread).
// The designer never touches the coefficients in use. It fills a spare set
// and publishes it with one atomic exchange; the pusher takes the newest
// published set up at the next sample boundary. No lock, no allocation.

#include <atomic>
#include <cstdint>

namespace dsp {

// Longest filter in use; the history holds twice that so that the live
// window and the wrap copy always fit.
inline constexpr int maxTapCount = 1024;
inline constexpr int filterHistoryLength = 2048;

// Writes tapCount coefficients of the band-pass [low, high] to coefficients.
// `low`, `high`: fractions of the sample rate, 0 … 0.5. tapCount ≤ 0 writes
// nothing. Arithmetic in double, rounded to single where noted in the body.
void windowedSincBandPass(float* coefficients, int tapCount, float low, float high);

// Dot product of n history samples with n coefficients, the loop the filter
// spends its time in. Chosen once per filter for the CPU it runs on.
using FirDotKernel = double (*)(const float* history, const float* coefficients, int n);

class FirBandFilter {
  public:
    FirBandFilter();
    FirBandFilter(const FirBandFilter&) = delete;
    FirBandFilter& operator=(const FirBandFilter&) = delete;

    // --- Pushing thread only: the state the next pushSample works with. ---
    // Taps of the set in use; a new design is taken up by the next push.
    int tapCount() const noexcept { return sets_[useIndex_].tapCount; }
    int decimation() const noexcept { return sets_[useIndex_].decimation; }
    const float* coefficients() const noexcept { return sets_[useIndex_].coefficients; }
    // filterHistoryLength samples, oldest of the live window at writeIndex() − tapCount().
    const float* history() const noexcept { return history_; }
    // Slot of the next input, tapCount() … 2047.
    int writeIndex() const noexcept { return writeIndex_; }
    // Inputs since the last output.
    int phase() const noexcept { return phase_; }

    // --- Designing thread only: the most recently designed set. ---
    int designedTapCount() const noexcept { return sets_[publishedIndex_].tapCount; }
    const float* designedCoefficients() const noexcept { return sets_[publishedIndex_].coefficients; }

    // Replaces the dot-product kernel (tests compare the CPU-specific one
    // with the portable one). Pushing thread, or before pushing starts.
    void setDotKernel(FirDotKernel kernel) noexcept { dot_ = kernel; }

  private:
    friend bool designBandFilter(FirBandFilter&, int, int, float, float);
    friend bool pushSample(FirBandFilter&, float, float&);

    struct CoefficientSet {
        std::int32_t tapCount = 0;
        std::int32_t decimation = 1;
        alignas(64) float coefficients[maxTapCount] = {};
    };

    // Triple buffer. useIndex_ belongs to the pusher, spareIndex_ and
    // publishedIndex_ to the designer; latest_ holds the third index, with
    // freshFlag set while it carries a design the pusher has not taken up.
    static constexpr std::uint8_t freshFlag = 4;
    static constexpr std::uint8_t indexMask = 3;
    void takeUpDesign() noexcept;

    CoefficientSet sets_[3];
    std::atomic<std::uint8_t> latest_{1};
    int useIndex_ = 0;
    int spareIndex_ = 2;
    int publishedIndex_ = 0;

    alignas(64) float history_[filterHistoryLength] = {};
    std::int32_t writeIndex_ = 0;
    std::int32_t phase_ = 0;
    FirDotKernel dot_;
};

// Designs tapCount taps for the band [low, high] and publishes them; the
// pusher restarts its window at writeIndex = tapCount, phase 0, over the
// history as it stands (nothing is cleared). `tapCount`: 0 … 1024 (the
// station uses 32 … 1024); `decimation`: ≥ 1, an output every decimation-th
// input (the station always passes 1); `low`, `high`: fractions of the
// sample rate. Returns false and changes nothing for arguments outside
// those ranges, true otherwise. Designing thread.
bool designBandFilter(FirBandFilter& filter, int tapCount, int decimation, float low, float high);

// Feeds one sample. When an output is due it is written to out and the
// result is true; otherwise out is untouched. The output is the dot product
// of the tapCount samples before x with the coefficients (coefficient 0 on
// the oldest), so x first counts in the next output. Pushing thread.
bool pushSample(FirBandFilter& filter, float x, float& out);

// The portable dot-product kernel, and the one for this CPU (AVX2 + FMA
// where available). Both sum in several float lanes and add the lanes in
// double.
double firDotPortable(const float* history, const float* coefficients, int n);
FirDotKernel firDotForThisCpu();

} // namespace dsp
