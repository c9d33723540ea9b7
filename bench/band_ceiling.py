#!/usr/bin/env python3
"""How far gains alone could go: the SI-SDR improvement of oracle gains, computed from the
clean speech, on the quality benchmark's 16 kHz mixtures (the same items, SNRs and seed as
quality.py).

    python bench/band_ceiling.py

Four oracles, each applied to the mixture's spectrum with the engine's framing (30 ms
sqrt-Hann windows, 10 ms hops): the learned model's 32 band gains spread over the bins by
their triangles, as the amplitude ratio the network is trained on (sqrt of clean over noisy
band energy) and as the Wiener gain (its square); and the same two per FFT bin. A model
scoring far below the band oracles is limited by what it can tell from the mixture, not by
how finely its gains are spread.
"""

from __future__ import annotations

from collections import defaultdict

import _corpus
import _metrics
import numpy as np

RATE = 16000
WINDOW, HOP, FFT_SIZE = 480, 160, 512
SNRS_DB = [-5.0, 0.0, 5.0, 10.0, 15.0]
BANDS = 32
# The periodic Hann window, split evenly between analysis and synthesis.
WINDOW_SHAPE = np.sqrt(np.hanning(WINDOW + 1)[:-1])


def band_triangles() -> _corpus.FloatArray:
    """[bands, bins]: centres evenly spaced on log(1 + f / 800 Hz) over 0-8000 Hz, each
    triangle reaching zero at its neighbours' centres (weights sum to one per bin)."""
    freqs = np.fft.rfftfreq(FFT_SIZE, 1.0 / RATE)
    centres = 800.0 * (np.exp(np.arange(BANDS) * np.log(11.0) / (BANDS - 1)) - 1.0)
    # Interpolating each band's indicator over the centres draws exactly its triangle.
    return np.array([np.interp(freqs, centres, indicator) for indicator in np.eye(BANDS)])


def stft(signal: _corpus.FloatArray) -> np.ndarray:
    starts = range(0, len(signal) - WINDOW + 1, HOP)
    return np.array([np.fft.rfft(signal[s : s + WINDOW] * WINDOW_SHAPE, FFT_SIZE) for s in starts])


def overlap_add(spectrum: np.ndarray, length: int) -> _corpus.FloatArray:
    out, norm = np.zeros(length), np.zeros(length)
    for frame, bins in enumerate(spectrum):
        start = frame * HOP
        out[start : start + WINDOW] += np.fft.irfft(bins, FFT_SIZE)[:WINDOW] * WINDOW_SHAPE
        norm[start : start + WINDOW] += WINDOW_SHAPE**2
    return out / np.maximum(norm, 1e-8)


def main() -> int:
    if not _corpus.available():
        print(f"no evaluation audio in {_corpus.AUDIO_DIR}: nothing to measure")
        return 0
    triangles = band_triangles()
    improvements: dict[tuple[str, float], list[float]] = defaultdict(list)
    for mixture in _corpus.mixtures(SNRS_DB, [RATE]):
        clean, noisy = mixture.clean.astype(np.float64), mixture.noisy.astype(np.float64)
        speech, mixed = stft(clean), stft(noisy)
        bin_ratio = (np.abs(speech) ** 2 / np.maximum(np.abs(mixed) ** 2, 1e-20)).clip(0.0, 1.0)
        band_ratio = (np.abs(speech) ** 2 @ triangles.T) / np.maximum(np.abs(mixed) ** 2 @ triangles.T, 1e-20)
        band_ratio = band_ratio.clip(0.0, 1.0)
        gains = {
            "32 bands, amplitude": np.sqrt(band_ratio) @ triangles,
            "32 bands, Wiener": band_ratio @ triangles,
            "per bin, amplitude": np.sqrt(bin_ratio),
            "per bin, Wiener": bin_ratio,
        }
        before = _metrics.si_sdr(noisy, clean)
        for name, gain in gains.items():
            after = _metrics.si_sdr(overlap_add(mixed * gain, len(noisy)), clean)
            improvements[(name, mixture.snr_db)].append(after - before)
    print("SI-SDR improvement of oracle gains, dB, 16 kHz")
    print(f"{'':22}" + "".join(f"{snr:>+8.0f} dB" for snr in SNRS_DB))
    for name in dict.fromkeys(name for name, _ in improvements):
        print(f"{name:22}" + "".join(f"{np.mean(improvements[(name, snr)]):>11.2f}" for snr in SNRS_DB))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
