// Short-time Fourier analysis and overlap-add synthesis, one hop at a time.
//
// The window spans `window_hops` hops and is zero-padded to a power-of-two FFT. The
// analysis and synthesis windows are powers of one periodic Hann window whose product
// overlap-adds to one, so an unmodified spectrum reconstructs the input exactly, delayed
// by window - hop samples.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include "fft.hpp"

namespace orlune::engine {

class Stft {
  public:
    Stft(std::size_t hop, std::size_t window_hops, float analysis_exponent);

    std::size_t hop() const { return hop_; }
    std::size_t window_length() const { return window_length_; }
    std::size_t fft_size() const { return fft_.size(); }
    std::size_t bins() const { return fft_.bins(); }
    std::size_t latency() const { return window_length_ - hop_; }
    // sum(w^2) over the analysis window: |X_k|^2 / (this * rate) is a density per Hz.
    double analysis_window_energy() const { return analysis_window_energy_; }

    // Appends one hop of input (non-finite samples read as silence, others clamped)
    // and writes the spectrum of the newest window.
    void analyse(const float* input, std::span<std::complex<float>> spectrum);

    // Overlap-adds the windowed inverse of `spectrum` and writes the hop of output
    // that is now complete. `output` may alias the input given to analyse().
    void synthesise(std::span<const std::complex<float>> spectrum, float* output);

    // The hop of input that synthesise() completes now: the input delayed by latency().
    std::span<const float> delayed_input() const { return {history_.data(), hop_}; }

    void reset();

  private:
    std::size_t hop_;
    std::size_t window_length_;
    RealFft fft_;
    double analysis_window_energy_ = 0.0;
    std::vector<float> analysis_window_;
    std::vector<float> synthesis_window_;
    std::vector<float> history_;  // the last window_length_ input samples, oldest first
    std::vector<float> overlap_;  // output accumulated so far, oldest first
    std::vector<float> frame_;    // fft_size() samples of scratch
};

}  // namespace orlune::engine
