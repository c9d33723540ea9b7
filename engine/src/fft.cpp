#include "fft.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

#include "fast_math.hpp"

namespace orlune::engine {
namespace {

using Complex = std::complex<float>;

// Plain product: std::complex's operator* checks for NaN/inf through a library
// call, which keeps the butterflies from being inlined and vectorised.
inline Complex multiply(Complex a, Complex b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

inline Complex conjugate(Complex a) { return {a.real(), -a.imag()}; }

Complex unit_root(std::size_t numerator, std::size_t denominator) {
    // Computed in double so that large tables stay accurate to float precision.
    const double angle =
        -2.0 * std::numbers::pi * static_cast<double>(numerator) / static_cast<double>(denominator);
    return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

// One radix-2 pass over `span` butterflies. The four data ranges never overlap, and
// saying so (restrict parameters) lets the loop vectorise without run-time checks.
ORLUNE_HOT_LOOPS void butterflies(std::size_t span, float* __restrict low_re,
                                  float* __restrict low_im, float* __restrict high_re,
                                  float* __restrict high_im, const float* __restrict w_re,
                                  const float* __restrict w_im) {
    for (std::size_t j = 0; j < span; ++j) {
        const float tr = high_re[j] * w_re[j] - high_im[j] * w_im[j];
        const float ti = high_re[j] * w_im[j] + high_im[j] * w_re[j];
        high_re[j] = low_re[j] - tr;
        high_im[j] = low_im[j] - ti;
        low_re[j] = low_re[j] + tr;
        low_im[j] = low_im[j] + ti;
    }
}

}  // namespace

bool is_power_of_two(std::size_t value) { return value != 0 && (value & (value - 1)) == 0; }

std::size_t next_power_of_two(std::size_t value) {
    std::size_t result = 1;
    while (result < value) result <<= 1;
    return result;
}

RealFft::RealFft(std::size_t size) : size_(size), half_(size / 2) {
    if (size < 4 || !is_power_of_two(size)) throw std::invalid_argument("FFT size");
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < half_) ++bits;
    bit_reversed_.resize(half_);
    for (std::size_t i = 0; i < half_; ++i) {
        std::size_t reversed = 0;
        for (std::size_t b = 0; b < bits; ++b) reversed |= ((i >> b) & 1U) << (bits - 1 - b);
        bit_reversed_[i] = reversed;
    }
    stage_cos_.resize(half_);
    stage_sin_.resize(half_);
    for (std::size_t span = 1; span < half_; span <<= 1) {
        for (std::size_t j = 0; j < span; ++j) {
            const Complex w = unit_root(j, 2 * span);
            stage_cos_[span - 1 + j] = w.real();
            stage_sin_[span - 1 + j] = w.imag();
        }
    }
    split_twiddles_.resize(half_ / 2 + 1);
    for (std::size_t k = 0; k <= half_ / 2; ++k) split_twiddles_[k] = unit_root(k, size_);
    work_re_.resize(half_);
    work_im_.resize(half_);
}

void RealFft::complex_transform(float* re, float* im) const {
    std::size_t first_span = 1;
    if (half_ >= 4) {
        // Spans 1 and 2 together as one radix-4 pass: their twiddles are 1 and -i only.
        for (std::size_t start = 0; start < half_; start += 4) {
            float* r = re + start;
            float* i = im + start;
            const float r0 = r[0] + r[1], i0 = i[0] + i[1];
            const float r1 = r[0] - r[1], i1 = i[0] - i[1];
            const float r2 = r[2] + r[3], i2 = i[2] + i[3];
            const float r3 = r[2] - r[3], i3 = i[2] - i[3];
            r[0] = r0 + r2;
            i[0] = i0 + i2;
            r[2] = r0 - r2;
            i[2] = i0 - i2;
            // (r3 + i i3) * -i = i3 - i r3
            r[1] = r1 + i3;
            i[1] = i1 - r3;
            r[3] = r1 - i3;
            i[3] = i1 + r3;
        }
        first_span = 4;
    }
    for (std::size_t span = first_span; span < half_; span <<= 1) {
        const float* wr = stage_cos_.data() + span - 1;
        const float* wi = stage_sin_.data() + span - 1;
        for (std::size_t start = 0; start < half_; start += 2 * span) {
            butterflies(span, re + start, im + start, re + start + span, im + start + span, wr, wi);
        }
    }
}

void RealFft::forward(std::span<const float> input, std::span<Complex> spectrum) {
    float* re = work_re_.data();
    float* im = work_im_.data();
    for (std::size_t n = 0; n < half_; ++n) {
        const std::size_t from = bit_reversed_[n];
        re[n] = input[2 * from];
        im[n] = input[2 * from + 1];
    }
    complex_transform(re, im);
    // Untangle the transforms of the even and odd samples from the packed one.
    spectrum[0] = {re[0] + im[0], 0.0f};
    spectrum[half_] = {re[0] - im[0], 0.0f};
    for (std::size_t k = 1; k <= half_ / 2; ++k) {
        const Complex a{re[k], im[k]};
        const Complex b{re[half_ - k], -im[half_ - k]};
        const Complex even = 0.5f * (a + b);
        const Complex odd_times_i = 0.5f * (a - b);  // i * odd spectrum
        const Complex odd{odd_times_i.imag(), -odd_times_i.real()};
        const Complex twisted = multiply(split_twiddles_[k], odd);
        spectrum[k] = even + twisted;
        spectrum[half_ - k] = conjugate(even - twisted);
    }
}

void RealFft::inverse(std::span<const Complex> spectrum, std::span<float> output) {
    float* re = work_re_.data();
    float* im = work_im_.data();
    // Rebuild the packed half-size spectrum, conjugated so that the forward kernel
    // computes the inverse transform, and store it in bit-reversed order.
    const auto store = [&](std::size_t k, Complex packed) {
        const std::size_t to = bit_reversed_[k];
        re[to] = packed.real();
        im[to] = -packed.imag();
    };
    for (std::size_t k = 0; k <= half_ / 2; ++k) {
        const Complex a = spectrum[k];
        const Complex b = conjugate(spectrum[half_ - k]);
        const Complex even = 0.5f * (a + b);
        const Complex odd = multiply(0.5f * (a - b), conjugate(split_twiddles_[k]));
        store(k, even + Complex{-odd.imag(), odd.real()});
        if (k != 0 && k != half_ - k) {
            // Bin half - k, whose twiddle is minus that of bin k.
            const Complex a2 = spectrum[half_ - k];
            const Complex b2 = conjugate(spectrum[k]);
            const Complex even2 = 0.5f * (a2 + b2);
            const Complex odd2 = multiply(0.5f * (a2 - b2), -split_twiddles_[k]);
            store(half_ - k, even2 + Complex{-odd2.imag(), odd2.real()});
        }
    }
    complex_transform(re, im);
    const float scale = 1.0f / static_cast<float>(half_);
    for (std::size_t n = 0; n < half_; ++n) {
        output[2 * n] = re[n] * scale;
        output[2 * n + 1] = -im[n] * scale;
    }
}

}  // namespace orlune::engine
