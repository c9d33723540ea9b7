"""The engine's real FFT against numpy.fft, compiled from its source with a small C shim."""

from __future__ import annotations

import ctypes
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2] / "engine" / "src"

SHIM = r"""
#include <complex>
#include <cstddef>
#include "fft.hpp"

using orlune::engine::RealFft;

extern "C" int fft_forward(std::size_t size, const float* input, float* spectrum) {
    try {
        RealFft fft(size);
        fft.forward({input, size}, {reinterpret_cast<std::complex<float>*>(spectrum), size / 2 + 1});
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" int fft_inverse(std::size_t size, const float* spectrum, float* output) {
    try {
        RealFft fft(size);
        fft.inverse({reinterpret_cast<const std::complex<float>*>(spectrum), size / 2 + 1}, {output, size});
        return 0;
    } catch (...) {
        return -1;
    }
}
"""


@pytest.fixture(scope="module")
def fft_library(tmp_path_factory: pytest.TempPathFactory) -> ctypes.CDLL:
    compiler = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler to build the FFT under test")
    directory = tmp_path_factory.mktemp("fft")
    (directory / "shim.cpp").write_text(SHIM)
    library = directory / "libfft_under_test.so"
    subprocess.run(
        [compiler, "-std=c++20", "-O2", "-shared", "-fPIC", f"-I{SOURCE_DIR}",
         str(SOURCE_DIR / "fft.cpp"), str(directory / "shim.cpp"), "-o", str(library)],
        check=True, capture_output=True,
    )
    lib = ctypes.CDLL(str(library))
    for name in ("fft_forward", "fft_inverse"):
        function = getattr(lib, name)
        function.argtypes = [ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p]
        function.restype = ctypes.c_int
    return lib


def forward(lib: ctypes.CDLL, signal: np.ndarray) -> np.ndarray:
    samples = np.ascontiguousarray(signal, np.float32)
    spectrum = np.zeros(len(samples) // 2 + 1, np.complex64)
    assert lib.fft_forward(len(samples), samples.ctypes.data, spectrum.ctypes.data) == 0
    return spectrum


def inverse(lib: ctypes.CDLL, spectrum: np.ndarray, size: int) -> np.ndarray:
    bins = np.ascontiguousarray(spectrum, np.complex64)
    output = np.zeros(size, np.float32)
    assert lib.fft_inverse(size, bins.ctypes.data, output.ctypes.data) == 0
    return output


SIZES = [4, 8, 16, 32, 128, 256, 512, 1024, 2048, 4096]


@pytest.mark.parametrize("size", SIZES)
def test_forward_matches_numpy(fft_library: ctypes.CDLL, size: int) -> None:
    signal = np.random.default_rng(size).standard_normal(size).astype(np.float32)
    expected = np.fft.rfft(signal.astype(np.float64))
    error = np.max(np.abs(forward(fft_library, signal) - expected))
    assert error <= 1e-5 * np.sqrt(size) * np.max(np.abs(expected))


@pytest.mark.parametrize("size", SIZES)
def test_inverse_matches_numpy_and_undoes_forward(fft_library: ctypes.CDLL, size: int) -> None:
    rng = np.random.default_rng(1000 + size)
    spectrum = rng.standard_normal(size // 2 + 1) + 1j * rng.standard_normal(size // 2 + 1)
    spectrum[0] = spectrum[0].real
    spectrum[-1] = spectrum[-1].real
    expected = np.fft.irfft(spectrum, size)
    assert np.max(np.abs(inverse(fft_library, spectrum, size) - expected)) <= 1e-5 * np.max(np.abs(expected))

    signal = rng.standard_normal(size).astype(np.float32)
    round_trip = inverse(fft_library, forward(fft_library, signal), size)
    assert np.max(np.abs(round_trip - signal)) <= 1e-5 * np.max(np.abs(signal))


@pytest.mark.parametrize("size", [4, 64, 1024])
def test_a_single_tone_lands_in_its_bin(fft_library: ctypes.CDLL, size: int) -> None:
    k = size // 4
    tone = np.cos(2 * np.pi * k * np.arange(size) / size)
    magnitudes = np.abs(forward(fft_library, tone))
    assert magnitudes[k] == pytest.approx(size / 2, rel=1e-5)
    assert np.delete(magnitudes, k).max() <= 1e-4 * size


@pytest.mark.parametrize("size", [0, 1, 2, 3, 6, 100, 1000])
def test_sizes_that_are_not_powers_of_two_are_refused(fft_library: ctypes.CDLL, size: int) -> None:
    buffer = np.zeros(max(size, 1) + 2, np.float32)
    assert fft_library.fft_forward(size, buffer.ctypes.data, buffer.ctypes.data) == -1
