#include "dsp/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace dsp {
namespace {

std::vector<std::complex<double>> naiveDft(const std::vector<float>& re, const std::vector<float>& im) {
    const std::size_t n = re.size();
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum = 0.0;
        for (std::size_t t = 0; t < n; ++t) {
            const double angle = -2.0 * M_PI * static_cast<double>((k * t) % n) / static_cast<double>(n);
            sum += std::complex<double>(re[t], im[t]) * std::polar(1.0, angle);
        }
        out[k] = sum;
    }
    return out;
}

// Forward sign, natural output order and no scaling, for every size up to
// the display's 1024 points, on random complex input.
TEST(FftInPlace, MatchesNaiveDft) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    for (int m = 1; m <= 10; ++m) {
        const std::size_t n = std::size_t{1} << m;
        std::vector<float> re(n), im(n);
        for (std::size_t i = 0; i < n; ++i) {
            re[i] = dist(rng);
            im[i] = dist(rng);
        }
        const auto expected = naiveDft(re, im);
        fftInPlace(re.data(), im.data(), m);
        // Single-precision twiddles and stores: error grows with log n and
        // the output magnitude (about √n for this input).
        const double tolerance = 2e-6 * m * std::sqrt(static_cast<double>(n)) * 4.0;
        double worst = 0.0;
        std::size_t worstBin = 0;
        for (std::size_t k = 0; k < n; ++k) {
            const double err = std::abs(std::complex<double>(re[k], im[k]) - expected[k]);
            if (err > worst) {
                worst = err;
                worstBin = k;
            }
        }
        EXPECT_LE(worst, tolerance) << "m = " << m << ": bin " << worstBin << " expected " << expected[worstBin]
                                    << ", got (" << re[worstBin] << "," << im[worstBin] << ")";
    }
}

TEST(FftInPlace, DegenerateOrdersLeaveDataAlone) {
    for (int m : {0, -1, 31}) {
        std::vector<float> re{0.25f, -1.0f}, im{0.5f, 2.0f};
        fftInPlace(re.data(), im.data(), m);
        EXPECT_EQ(re, (std::vector<float>{0.25f, -1.0f})) << "m = " << m;
        EXPECT_EQ(im, (std::vector<float>{0.5f, 2.0f})) << "m = " << m;
    }
}

} // namespace
} // namespace dsp
