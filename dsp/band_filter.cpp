#include "dsp/band_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace dsp {
namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 6.283185307179586;
constexpr double sincGuard = 1e-10;

// sin(πx)/(πx), exactly 1 near x = 0.
double sinc(double x) {
    if (std::fabs(x) < sincGuard) {
        return 1.0;
    }
    return std::sin(pi * x) / (pi * x);
}

} // namespace

void windowedSincBandPass(float* coefficients, int tapCount, float low, float high) {
    if (tapCount <= 0) {
        return;
    }
    const int n = tapCount;
    const double centre = (n - 1) * 0.5;
    // 1/(N−1) is held in single precision, as the window has always used it.
    const float step = static_cast<float>(1.0 / (n - 1));
    const double fL = low;
    const double fH = high;
    for (int i = 0; i < n; ++i) {
        const float m = static_cast<float>(i - centre);
        // i = 0 is angle 0 even for a single tap, where 1/(N−1) is infinite.
        const double angle = i == 0 ? 0.0 : twoPi * i * static_cast<double>(step);
        const double window = 0.54 - 0.46 * std::cos(angle);
        const double sH = sinc(2.0 * m * fH);
        const double sL = sinc(2.0 * m * fL);
        coefficients[i] = static_cast<float>(window * (2.0 * fH * sH - 2.0 * fL * sL));
    }
}

FirBandFilter::FirBandFilter() : dot_(firDotForThisCpu()) {}

void FirBandFilter::takeUpDesign() noexcept {
    // Cheap test first: a design is rare, a push is 8000 times a second.
    if ((latest_.load(std::memory_order_relaxed) & freshFlag) == 0) {
        return;
    }
    // acq_rel: acquire the designer's coefficients, release ours back to it.
    const std::uint8_t taken = latest_.exchange(static_cast<std::uint8_t>(useIndex_), std::memory_order_acq_rel);
    useIndex_ = taken & indexMask;
    writeIndex_ = sets_[useIndex_].tapCount;
    phase_ = 0;
}

bool designBandFilter(FirBandFilter& filter, int tapCount, int decimation, float low, float high) {
    if (tapCount < 0 || tapCount > maxTapCount || decimation < 1) {
        return false;
    }
    FirBandFilter::CoefficientSet& set = filter.sets_[filter.spareIndex_];
    windowedSincBandPass(set.coefficients, tapCount, low, high);
    set.tapCount = tapCount;
    set.decimation = decimation;
    const std::uint8_t published = static_cast<std::uint8_t>(filter.spareIndex_ | FirBandFilter::freshFlag);
    const std::uint8_t previous = filter.latest_.exchange(published, std::memory_order_acq_rel);
    filter.publishedIndex_ = filter.spareIndex_;
    filter.spareIndex_ = previous & FirBandFilter::indexMask;
    return true;
}

bool pushSample(FirBandFilter& filter, float x, float& out) {
    filter.takeUpDesign();
    const FirBandFilter::CoefficientSet& set = filter.sets_[filter.useIndex_];
    const int n = set.tapCount;
    const int k = filter.writeIndex_;
    filter.history_[k] = x;
    filter.writeIndex_ = k + 1;
    ++filter.phase_;
    const bool due = filter.phase_ == set.decimation;
    if (due) {
        out = static_cast<float>(filter.dot_(filter.history_ + (k - n), set.coefficients, n));
    }
    if (filter.writeIndex_ == filterHistoryLength) {
        // n ≤ 1024, so source and destination never overlap.
        std::memcpy(filter.history_, filter.history_ + (filterHistoryLength - n),
                    static_cast<std::size_t>(n) * sizeof(float));
        filter.writeIndex_ = n;
    }
    if (due) {
        filter.phase_ = 0;
    }
    return due;
}

} // namespace dsp
