"""The default model from the first frame of a stream: an onset right at the start comes
through whole, and noise alone is suppressed, and called noise, within half a second."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import orlune
from orlune._orlune_nc import OrluneNC

DEFAULT_BUNDLE = Path(orlune.__file__).resolve().parent / "resources" / "models" / "orlune-nc-default.bin"


def run(rate: int, signal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(output aligned with the input, speech probability per frame) from a fresh session."""
    session = OrluneNC(sample_rate=rate, attenuation_limit_db=100.0, model_path=DEFAULT_BUNDLE)
    n, delay = session.frame_length, session.latency_samples
    padded = np.zeros(-(-(len(signal) + delay) // n) * n, np.int16)
    padded[: len(signal)] = np.round(signal * 32768)
    blocks, probabilities = [], []
    for start in range(0, len(padded), n):
        blocks.append(session.process_frame(padded[start : start + n]))
        probabilities.append(session.speech_probability)
    output = np.concatenate(blocks)[delay : delay + len(signal)]
    return output.astype(np.float64) / 32768, np.array(probabilities)


def level_db(x: np.ndarray) -> float:
    return float(10 * np.log10(np.mean(np.square(x)) + 1e-20))


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("pitch_hz", [110.0, 240.0])
def test_a_voice_starting_50_ms_into_the_stream_keeps_its_onset(rate: int, pitch_hz: float) -> None:
    t = np.arange(rate) / rate
    voice = sum(np.sin(2 * np.pi * pitch_hz * k * t + k) / k for k in range(1, 30) if pitch_hz * k < 7000)
    signal = 0.05 * voice * (t >= 0.05)
    output, _ = run(rate, signal)
    onset = slice(int(0.05 * rate), int(0.15 * rate))
    assert abs(level_db(output[onset]) - level_db(signal[onset])) <= 1.0


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("slope", [0.0, 0.5, 1.0], ids=["white", "pink", "brown"])
def test_noise_alone_is_suppressed_and_called_noise_from_the_start(rate: int, slope: float) -> None:
    # The statistical engine alone takes 5-7 dB off here for the first 1-2 s and calls
    # these frames speech with a probability of 0.75-0.93.
    samples = 4 * rate
    spectrum = np.fft.rfft(np.random.default_rng(1).standard_normal(samples))
    spectrum /= np.maximum(np.fft.rfftfreq(samples, 1 / rate), 20.0) ** slope
    noise = np.fft.irfft(spectrum, samples)
    noise *= 0.1 / np.std(noise)
    output, probability = run(rate, noise)
    step = rate // 10
    drops = [level_db(noise[i : i + step]) - level_db(output[i : i + step]) for i in range(step, samples, step)]
    assert min(drops) >= 15.0, np.round(drops)
    settled = slice(rate // 2, None)
    assert level_db(noise[settled]) - level_db(output[settled]) >= 30.0
    assert np.mean(probability[50:]) < 0.35
