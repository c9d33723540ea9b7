#include "fft.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

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
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(numerator) /
                         static_cast<double>(denominator);
    return {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
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
    stage_twiddles_.resize(half_ / 2);
    for (std::size_t j = 0; j < half_ / 2; ++j) stage_twiddles_[j] = unit_root(j, half_);
    split_twiddles_.resize(half_ / 2 + 1);
    for (std::size_t k = 0; k <= half_ / 2; ++k) split_twiddles_[k] = unit_root(k, size_);
    work_.resize(half_);
}

void RealFft::complex_transform(Complex* data) const {
    for (std::size_t i = 0; i < half_; ++i) {
        const std::size_t j = bit_reversed_[i];
        if (i < j) std::swap(data[i], data[j]);
    }
    for (std::size_t span = 1; span < half_; span <<= 1) {
        const std::size_t stride = half_ / (2 * span);
        for (std::size_t start = 0; start < half_; start += 2 * span) {
            Complex* low = data + start;
            Complex* high = low + span;
            for (std::size_t j = 0; j < span; ++j) {
                const Complex rotated = multiply(high[j], stage_twiddles_[j * stride]);
                high[j] = low[j] - rotated;
                low[j] = low[j] + rotated;
            }
        }
    }
}

void RealFft::forward(std::span<const float> input, std::span<Complex> spectrum) {
    Complex* z = work_.data();
    for (std::size_t n = 0; n < half_; ++n) z[n] = {input[2 * n], input[2 * n + 1]};
    complex_transform(z);
    // Untangle the transforms of the even and odd samples from the packed one.
    spectrum[0] = {z[0].real() + z[0].imag(), 0.0f};
    spectrum[half_] = {z[0].real() - z[0].imag(), 0.0f};
    for (std::size_t k = 1; k <= half_ / 2; ++k) {
        const Complex a = z[k];
        const Complex b = conjugate(z[half_ - k]);
        const Complex even = 0.5f * (a + b);
        const Complex odd_times_i = 0.5f * (a - b);  // i * odd spectrum
        const Complex odd{odd_times_i.imag(), -odd_times_i.real()};
        const Complex twisted = multiply(split_twiddles_[k], odd);
        spectrum[k] = even + twisted;
        spectrum[half_ - k] = conjugate(even - twisted);
    }
}

void RealFft::inverse(std::span<const Complex> spectrum, std::span<float> output) {
    Complex* z = work_.data();
    // Rebuild the packed half-size spectrum; conjugating it lets the forward
    // kernel compute the inverse transform.
    for (std::size_t k = 0; k <= half_ / 2; ++k) {
        const Complex a = spectrum[k];
        const Complex b = conjugate(spectrum[half_ - k]);
        const Complex even = 0.5f * (a + b);
        const Complex odd = multiply(0.5f * (a - b), conjugate(split_twiddles_[k]));
        const Complex packed = even + Complex{-odd.imag(), odd.real()};
        z[k] = conjugate(packed);
        if (k != 0 && k != half_ - k) {
            // Bin half-k from the mirrored formula.
            const Complex a2 = spectrum[half_ - k];
            const Complex b2 = conjugate(spectrum[k]);
            const Complex even2 = 0.5f * (a2 + b2);
            const Complex odd2 =
                multiply(0.5f * (a2 - b2), -split_twiddles_[k]);
            const Complex packed2 = even2 + Complex{-odd2.imag(), odd2.real()};
            z[half_ - k] = conjugate(packed2);
        }
    }
    complex_transform(z);
    const float scale = 1.0f / static_cast<float>(half_);
    for (std::size_t n = 0; n < half_; ++n) {
        output[2 * n] = z[n].real() * scale;
        output[2 * n + 1] = -z[n].imag() * scale;
    }
}

}  // namespace orlune::engine
