// The filter's inner loop: up to 1024 multiply-adds per sample, 8000 samples
// a second, on the processing thread.
//
// The products are summed in 32 independent float lanes (four 8-wide
// accumulators), and the lanes are added in double at the end. Independent
// lanes let the compiler keep every vector unit busy without reassociating
// anything itself; summing in float rather than double doubles the lanes per
// instruction and halves the loads, which is what makes a 1024-tap push
// several times cheaper than a plain loop. The error against an exact double
// sum stays far below one unit of the 16-bit output (see the tests).
//
// This file is built with floating-point contraction on, so the multiply-adds
// become fused where the CPU has FMA; nothing else lives here.

#include <cstring>

#include "dsp/band_filter.h"

namespace dsp {
namespace {

typedef float Lanes8 __attribute__((vector_size(32)));

// Always inlined, so the portable and the AVX2 function each get a copy
// compiled for their own instruction set; vectors never cross a function
// boundary, so the two calling conventions never meet.
inline __attribute__((always_inline)) double dotLanes(const float* history, const float* coefficients, int n) {
    Lanes8 acc0 = {}, acc1 = {}, acc2 = {}, acc3 = {};
    const float* h = history;
    const float* c = coefficients;
    const float* const blockEnd = history + (n / 32) * 32;
    for (; h != blockEnd; h += 32, c += 32) {
        Lanes8 h0, h1, h2, h3, c0, c1, c2, c3;
        std::memcpy(&h0, h, sizeof h0);
        std::memcpy(&h1, h + 8, sizeof h1);
        std::memcpy(&h2, h + 16, sizeof h2);
        std::memcpy(&h3, h + 24, sizeof h3);
        std::memcpy(&c0, c, sizeof c0);
        std::memcpy(&c1, c + 8, sizeof c1);
        std::memcpy(&c2, c + 16, sizeof c2);
        std::memcpy(&c3, c + 24, sizeof c3);
        acc0 += h0 * c0;
        acc1 += h1 * c1;
        acc2 += h2 * c2;
        acc3 += h3 * c3;
    }
    double sum = 0.0;
    for (int lane = 0; lane < 8; ++lane) {
        sum += (static_cast<double>(acc0[lane]) + static_cast<double>(acc1[lane])) +
               (static_cast<double>(acc2[lane]) + static_cast<double>(acc3[lane]));
    }
    // Tap counts in use are multiples of 32; others finish here.
    for (const float* const end = history + n; h != end; ++h, ++c) {
        sum += static_cast<double>(*h) * static_cast<double>(*c);
    }
    return sum;
}

__attribute__((target("avx2,fma"))) double firDotAvx2(const float* history, const float* coefficients, int n) {
    return dotLanes(history, coefficients, n);
}

} // namespace

double firDotPortable(const float* history, const float* coefficients, int n) {
    return dotLanes(history, coefficients, n);
}

FirDotKernel firDotForThisCpu() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
        return &firDotAvx2;
    }
    return &firDotPortable;
}

} // namespace dsp
