#pragma once
// The spectrum transform of the station's display.

namespace dsp {

// Forward complex transform (kernel e^(−i…)) of 2^m points, in place,
// radix-2 decimation in frequency, unscaled, output in natural order.
// `real`, `imag`: 2^m entries each. `m`: 0 … 20; anything else leaves the
// arrays untouched. Twiddle factors are rounded to single precision and every
// butterfly stores single-precision results.
void fftInPlace(float* real, float* imag, int m);

} // namespace dsp
