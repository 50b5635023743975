#include "dsp/fft.h"

#include <cmath>
#include <utility>

namespace dsp {
namespace {
constexpr double pi = 3.141592653589793;
constexpr int maxOrder = 20;
} // namespace

void fftInPlace(float* real, float* imag, int m) {
    if (m < 0 || m > maxOrder) {
        return;
    }
    const int n = 1 << m;
    for (int k = m; k >= 1; --k) {
        const int span = 1 << k;
        const int half = span / 2;
        const double wr = static_cast<float>(std::cos(pi / half));
        const double wi = -static_cast<double>(static_cast<float>(std::sin(pi / half)));
        double ur = 1.0;
        double ui = 0.0;
        for (int j = 0; j < half; ++j) {
            for (int i = j; i < n; i += span) {
                const int ip = i + half;
                const double tr = static_cast<double>(real[i]) - real[ip];
                const double ti = static_cast<double>(imag[i]) - imag[ip];
                real[i] = static_cast<float>(static_cast<double>(real[i]) + real[ip]);
                imag[i] = static_cast<float>(static_cast<double>(imag[i]) + imag[ip]);
                real[ip] = static_cast<float>(tr * ur - ti * ui);
                imag[ip] = static_cast<float>(tr * ui + ti * ur);
            }
            const double nextR = ur * wr - ui * wi;
            ui = ur * wi + ui * wr;
            ur = nextR;
        }
    }
    // Bit reversal, counted 1-based: j runs through the bit-reversed partner
    // of each i, and each pair is swapped once (when i < j).
    int j = 1;
    for (int i = 1; i <= n - 1; ++i) {
        if (i < j) {
            std::swap(real[i - 1], real[j - 1]);
            std::swap(imag[i - 1], imag[j - 1]);
        }
        int h = n / 2;
        while (h < j) {
            j -= h;
            h /= 2;
        }
        j += h;
    }
}

} // namespace dsp
