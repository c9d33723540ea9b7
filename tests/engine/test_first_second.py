"""The packaged default model from the first frame of a stream: an onset right after the
start comes through whole, and noise alone is suppressed, and called noise, at once."""

from __future__ import annotations

import numpy as np
import pytest

from tests.engine.engine_api import DEFAULT_BUNDLE_PATH, Engine, coloured_noise, level_db


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("pitch_hz", [110.0, 240.0])
def test_a_voice_starting_50_ms_into_the_stream_keeps_its_onset(engine: Engine, rate: int, pitch_hz: float) -> None:
    t = np.arange(rate) / rate
    voice = sum(np.sin(2 * np.pi * pitch_hz * k * t + k) / k for k in range(1, 30) if pitch_hz * k < 7000)
    signal = (0.05 * voice * (t >= 0.05)).astype(np.float32)
    with engine.session(rate, 100.0, DEFAULT_BUNDLE_PATH) as session:
        output, _ = session.process(signal)
    onset = slice(int(0.05 * rate), int(0.15 * rate))
    assert abs(level_db(output[session.latency :][onset]) - level_db(signal[onset])) <= 1.0


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("exponent", [0.0, 1.0, 2.0], ids=["white", "pink", "brown"])
def test_noise_alone_is_suppressed_and_called_noise_from_the_start(engine: Engine, rate: int, exponent: float) -> None:
    # The statistical engine alone takes 5-7 dB off here for the first 1-2 s and calls
    # these frames speech with a probability of 0.75-0.93.
    noise = coloured_noise(rate, 4.0, -20.0, exponent, seed=1)
    with engine.session(rate, 100.0, DEFAULT_BUNDLE_PATH) as session:
        output, probability = session.process(noise)
    output = output[session.latency :]
    step = rate // 10
    drops = [level_db(noise[i : i + step]) - level_db(output[i : i + step]) for i in range(step, len(output) - step, step)]
    assert min(drops) >= 15.0, np.round(drops)
    settled = slice(rate // 2, len(output))
    assert level_db(noise[settled]) - level_db(output[settled]) >= 30.0
    assert np.mean(probability[50:]) < 0.35
