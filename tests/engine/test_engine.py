"""The engine's signal behaviour through the installed library and the packaged bundle."""

from __future__ import annotations

import ctypes
import math
import threading
from collections.abc import Callable
from pathlib import Path

import numpy as np
import pytest

from tests.engine.engine_api import BUNDLE_PATH, RATES, Engine, FloatArray, level_db, pink_noise, white_noise
from orlune._orlune_nc import OrluneNC


@pytest.mark.parametrize("rate", RATES)
def test_each_rate_opens_with_its_frame_and_a_constant_delay_within_20_ms(rate: int, bundle: Path) -> None:
    session = OrluneNC(sample_rate=rate, attenuation_limit_db=100.0, model_path=bundle)
    try:
        latency = session.latency_samples
        assert session.frame_length == {22050: 220, 44100: 441}.get(rate, rate // 100)
        assert 0 < latency <= rate * 0.020
        assert math.isnan(session.speech_probability)
        session.process_frame(np.zeros(session.frame_length, np.int16))
        assert 0.0 <= session.speech_probability <= 1.0
    finally:
        session.close()


@pytest.mark.parametrize("rate", [0, 1, 11025, 16001, 44000, 96000, 2**40])
def test_other_rates_give_no_session(engine: Engine, rate: int, bundle: Path) -> None:
    with engine.model(bundle) as model:
        assert engine.session_create(model, rate, 12.0) is None
    assert engine.session_create(None, 16000, 12.0) is None


@pytest.mark.parametrize("rate", [16000, 44100])
@pytest.mark.parametrize("model", ["classic", "learned"])
def test_reported_latency_is_the_delay_of_the_processed_output(
    engine: Engine, rate: int, model: str, silencing_bundle: Path
) -> None:
    # Steady white noise is pulled down to the gain floor in every bin (the statistical
    # engine's, or the limit under a network that calls it noise), so the output is a
    # scaled copy of the input, shifted by the delay.
    noise = white_noise(rate, 2.0, -20.0)
    with engine.session(rate, 12.0, BUNDLE_PATH if model == "classic" else silencing_bundle) as session:
        output, _ = session.process(noise)
    tail = slice(rate, len(output) - rate // 10)
    lags = range(0, 3 * session.frame_length)
    correlation = [np.dot(output[tail], noise[tail.start - lag : tail.stop - lag]) for lag in lags]
    assert int(np.argmax(correlation)) == session.latency


@pytest.mark.parametrize("limit_db", [0.0, -0.0, -6.0])
def test_zero_or_negative_limit_returns_the_delayed_input(engine: Engine, limit_db: float, bundle: Path) -> None:
    rate = 16000
    rng = np.random.default_rng(3)
    signal = (rng.standard_normal(rate) * 0.1).astype(np.float32)
    signal[4000:4400] += np.sin(np.arange(400) * 0.3).astype(np.float32)
    with engine.session(rate, limit_db, bundle) as session:
        output, _ = session.process(signal)
    delayed = np.concatenate([np.zeros(session.latency, np.float32), signal])[: len(output)]
    assert np.max(np.abs(output - delayed)) * 32768.0 <= 1.0


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("noise", [white_noise, pink_noise], ids=["white", "pink"])
@pytest.mark.parametrize("limit_db", [6.0, 12.0, 24.0])
def test_output_stays_within_the_attenuation_limit(
    engine: Engine, noise: Callable[[int, float, float], FloatArray], limit_db: float, rate: int, bundle: Path
) -> None:
    signal = noise(rate, 3.0, -30.0)
    with engine.session(rate, limit_db, bundle) as session:
        output, _ = session.process(signal)
    aligned = output[session.latency :]
    window = rate // 2
    for start in range(rate, len(aligned) - window + 1, window // 2):
        drop = level_db(signal[start : start + window]) - level_db(aligned[start : start + window])
        assert drop <= limit_db + 0.5, f"window at {start / rate:.2f} s dropped {drop:.2f} dB"


def test_nan_and_infinite_limits_mean_no_bound(engine: Engine) -> None:
    signal = white_noise(16000, 1.0, -30.0)
    outputs = []
    for limit in (math.nan, math.inf, 1000.0):
        with engine.session(16000, limit) as session:
            outputs.append(session.process(signal)[0])
    np.testing.assert_array_equal(outputs[0], outputs[2])
    np.testing.assert_array_equal(outputs[1], outputs[2])
    with engine.session(16000, 6.0) as session:
        bounded, _ = session.process(signal)
    assert level_db(outputs[2][8000:]) < level_db(bounded[8000:]) - 3.0


@pytest.mark.parametrize("rate", [8000, 16000, 44100, 48000])
def test_steady_noise_is_removed_and_a_modulated_harmonic_signal_kept(engine: Engine, rate: int) -> None:
    noise = white_noise(rate, 3.0, -20.0)
    with engine.session(rate) as session:
        denoised, noise_presence = session.process(noise)
    settled = slice(2 * rate, len(denoised))
    assert level_db(noise[settled]) - level_db(denoised[settled]) >= 10.0

    t = np.arange(3 * rate) / rate
    harmonics = sum(np.sin(2 * np.pi * 150.0 * h * t) / h for h in range(1, 11))
    # Fully modulated, like syllables: its dips show the trackers that it is no noise.
    voiced = (0.1 * harmonics * (0.5 + 0.5 * np.sin(2 * np.pi * 4.0 * t))).astype(np.float32)
    with engine.session(rate) as session:
        kept, voiced_presence = session.process(voiced)
    aligned = kept[session.latency :]
    settled = slice(rate, len(aligned))
    assert level_db(voiced[settled]) - level_db(aligned[settled]) <= 1.0
    assert np.mean(voiced_presence[100:]) > np.mean(noise_presence[100:]) + 0.3


def test_reset_restores_the_fresh_state_bit_for_bit(engine: Engine, bundle: Path) -> None:
    rate = 48000
    signal = white_noise(rate, 1.0, -25.0) + 0.2 * np.sin(np.arange(rate) * 0.05).astype(np.float32)
    with engine.session(rate, bundle=bundle) as session:
        first, first_presence = session.process(signal)
        session.process(white_noise(rate, 0.5, -10.0, seed=9))
        session.reset()
        second, second_presence = session.process(signal)
    with engine.session(rate, bundle=bundle) as fresh:
        third, _ = fresh.process(signal)
    np.testing.assert_array_equal(first, second)
    np.testing.assert_array_equal(first_presence, second_presence)
    np.testing.assert_array_equal(first, third)


def test_processing_in_place_matches_separate_buffers(engine: Engine, bundle: Path) -> None:
    rate = 16000
    signal = white_noise(rate, 0.5, -20.0)
    with engine.session(rate, bundle=bundle) as session:
        expected, _ = session.process(signal)
    pointer = ctypes.POINTER(ctypes.c_float)
    with engine.session(rate, bundle=bundle) as session:
        buffer = signal.copy()
        n = session.frame_length
        for start in range(0, len(buffer) - n + 1, n):
            frame = buffer[start : start + n]
            engine.process_frame(session.handle, frame.ctypes.data_as(pointer), frame.ctypes.data_as(pointer))
    np.testing.assert_array_equal(buffer[: len(expected)], expected)


def test_non_finite_input_is_read_as_silence_and_the_stream_recovers(engine: Engine, bundle: Path) -> None:
    rate = 16000
    noise = white_noise(rate, 2.0, -25.0)
    corrupted = noise.copy()
    corrupted[4000:4800:3] = np.nan
    corrupted[6000:6100] = np.inf
    corrupted[6100:6200] = -np.inf
    corrupted[7000:7100] = 1e30
    with engine.session(rate, bundle=bundle) as session:
        output, presence = session.process(corrupted)
    assert np.all(np.isfinite(output)) and np.all((presence >= 0.0) & (presence <= 1.0))
    with engine.session(rate, bundle=bundle) as clean_session:
        reference, _ = clean_session.process(noise)
    # Once the damage has left the trackers' memory, the output is back to normal.
    late = slice(rate + rate // 2, len(output))
    assert abs(level_db(output[late]) - level_db(reference[late])) < 1.0


def test_sessions_on_threads_match_sessions_alone(engine: Engine, bundle: Path) -> None:
    cases = [(16000, 1), (48000, 2), (16000, 3), (44100, 4)]
    signals = {seed: white_noise(rate, 1.0, -20.0, seed) for rate, seed in cases}
    alone = {}
    for rate, seed in cases:
        with engine.session(rate, bundle=bundle) as session:
            alone[seed] = session.process(signals[seed])[0]

    together: dict[int, np.ndarray] = {}

    def run(rate: int, seed: int) -> None:
        with engine.session(rate, bundle=bundle) as session:
            together[seed] = session.process(signals[seed])[0]

    threads = [threading.Thread(target=run, args=case) for case in cases]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for _, seed in cases:
        np.testing.assert_array_equal(together[seed], alone[seed])
