// Real-input FFT of a power-of-two size, built on a half-size complex radix-2 transform.
// Tables are computed once in the constructor; forward() and inverse() never allocate.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace orlune::engine {

class RealFft {
  public:
    // size: a power of two, at least 4.
    explicit RealFft(std::size_t size);

    std::size_t size() const { return size_; }
    std::size_t bins() const { return size_ / 2 + 1; }

    // spectrum[k] = sum_n input[n] exp(-2 pi i k n / size), k = 0 .. size/2.
    void forward(std::span<const float> input, std::span<std::complex<float>> spectrum);

    // The real sequence whose forward transform is `spectrum`, scaled by 1/size so that
    // inverse(forward(x)) == x. The imaginary parts of bins 0 and size/2 are ignored.
    void inverse(std::span<const std::complex<float>> spectrum, std::span<float> output);

  private:
    // In-place forward transform of half_ points held as separate real and imaginary
    // arrays, in bit-reversed order on entry: the butterflies then run over contiguous
    // floats, which the compiler vectorises.
    void complex_transform(float* re, float* im) const;

    std::size_t size_;
    std::size_t half_;
    std::vector<std::size_t> bit_reversed_;
    // Per stage of span s (1, 2, 4, ...), exp(-2 pi i j / 2s) for j < s, stages one after
    // another: the stage of span s starts at index s - 1.
    std::vector<float> stage_cos_;
    std::vector<float> stage_sin_;
    std::vector<std::complex<float>> split_twiddles_;  // exp(-2 pi i k / size), k <= half/2
    std::vector<float> work_re_;
    std::vector<float> work_im_;
};

bool is_power_of_two(std::size_t value);
std::size_t next_power_of_two(std::size_t value);

}  // namespace orlune::engine
