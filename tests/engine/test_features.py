"""The learned model's front end as the training code reaches it: kelvo_nc_analyse."""

from __future__ import annotations

import ctypes

import numpy as np
import pytest

from tests.engine.engine_api import RATES, Engine, white_noise


@pytest.mark.parametrize("rate", RATES)
def test_analysis_follows_the_frames_a_session_processes(engine: Engine, rate: int) -> None:
    # The frame's presence feature is what a classic session returns for the same frame,
    # so the two walk the same windows from the same fresh state.
    t = np.arange(2 * rate) / rate
    signal = white_noise(rate, 2.0, -35.0) + (0.2 * np.sin(2 * np.pi * 440.0 * t) * (t > 1.0)).astype(np.float32)
    with engine.session(rate) as session:
        _, presence = session.process(signal)
    with engine.model() as model:
        features, energies = engine.analyse(model, rate, signal[: len(presence) * session.frame_length - 7])
    assert len(features) == len(energies) == len(presence) - 1
    np.testing.assert_array_equal(features[:, 4 * engine.band_count], presence[:-1])
    np.testing.assert_allclose(features[:, : engine.band_count], np.log(energies + np.float32(1e-16)), rtol=1e-6)


@pytest.mark.parametrize("rate", [8000, 16000, 48000])
@pytest.mark.parametrize(
    "kind", ["silence", "full scale square", "loud noise", "impulses"],
)
def test_features_are_finite_for_any_input(engine: Engine, rate: int, kind: str) -> None:
    n = rate
    signal = {
        "silence": np.zeros(n),
        "full scale square": np.sign(np.sin(np.arange(n) * 0.01)) * 0.999,
        "loud noise": np.clip(white_noise(rate, 1.0, 0.0), -1.0, 1.0),
        "impulses": (np.arange(n) % 997 == 0) * 1.0,
    }[kind]
    with engine.model() as model:
        features, energies = engine.analyse(model, rate, signal)
    assert features.shape == (100, engine.feature_count)
    assert np.all(np.isfinite(features)) and np.all(np.isfinite(energies)) and np.all(energies >= 0.0)
    presence = features[:, 3 * engine.band_count : 4 * engine.band_count + 1]
    assert np.all((presence >= 0.0) & (presence <= 1.0))


def test_band_energy_is_a_density_per_hz_and_the_same_sound_reads_the_same_at_every_rate(
    engine: Engine,
) -> None:
    # White noise of variance s2 has a density of s2 / rate per Hz in every band below Nyquist.
    for rate in (8000, 16000, 48000):
        with engine.model() as model:
            _, energies = engine.analyse(model, rate, white_noise(rate, 4.0, -20.0))
        bands = energies[50:].mean(axis=0)
        present = bands > 0.0
        expected = 10.0 ** (-20.0 / 10.0) / rate
        np.testing.assert_allclose(bands[present], expected, rtol=0.2)
        # Bands centred above 4 kHz are beyond Nyquist at 8 kHz.
        assert present.sum() == {8000: 24}.get(rate, engine.band_count)
    # A tone is one sound at every rate.
    tone = {}
    for rate in (16000, 48000):
        t = np.arange(rate) / rate
        with engine.model() as model:
            _, energies = engine.analyse(model, rate, 0.3 * np.sin(2 * np.pi * 1234.0 * t))
        tone[rate] = energies[10:].mean(axis=0)
    loud = tone[16000] > tone[16000].max() * 1e-3
    assert 1 <= loud.sum() <= 3
    np.testing.assert_allclose(10 * np.log10(tone[48000][loud]), 10 * np.log10(tone[16000][loud]), atol=0.5)


def test_no_frames_for_bad_arguments(engine: Engine) -> None:
    signal = np.zeros(1000, np.float32)
    pointer = ctypes.POINTER(ctypes.c_float)
    features = np.zeros((20, engine.feature_count), np.float32)
    with engine.model() as model:
        assert len(engine.analyse(model, 16000, signal[:159])[0]) == 0
        assert len(engine.analyse(model, 11025, signal)[0]) == 0
        assert engine._analyse(model, 16000, None, 1000, features.ctypes.data_as(pointer), None) == 0
        assert engine._analyse(model, 16000, signal.ctypes.data_as(pointer), 1000, None, None) == 0
        assert engine._analyse(model, 16000, signal.ctypes.data_as(pointer), 1000,
                               features.ctypes.data_as(pointer), None) == 6
    assert engine._analyse(None, 16000, signal.ctypes.data_as(pointer), 1000, features.ctypes.data_as(pointer), None) == 0
    assert np.all(np.isfinite(features[:6])) and not np.any(features[6:])


def test_a_voice_holding_a_pitch_reads_as_harmonic_at_its_pitch_alike_at_every_rate(engine: Engine) -> None:
    # 90 Hz: below the lowest pitch the cepstrum of the native 48 kHz spectrum reaches.
    harmonicity = {}
    for rate, f0 in ((16000, 150.0), (48000, 150.0), (48000, 90.0)):
        t = np.arange(2 * rate) / rate
        hiss = white_noise(rate, 2.0, -40.0)
        buzz = sum(np.sin(2 * np.pi * f0 * k * t) / k for k in range(1, int(7000 / f0))) * 0.1
        with engine.model() as model:
            voiced, _ = engine.analyse(model, rate, (buzz + hiss).astype(np.float32))
            unvoiced, _ = engine.analyse(model, rate, hiss)
        f = 4 * engine.band_count
        np.testing.assert_allclose(np.median(100.0 * 2.0 ** voiced[50:, f + 3]), f0, rtol=0.03)
        assert np.median(voiced[50:, f + 2]) > np.median(unvoiced[50:, f + 2]) + 2.0
        # The harmonic share of the bands from 130 Hz to 1.1 kHz, where the comb is resolved.
        low_bands = slice(f + 4 + 2, f + 4 + 12)
        assert np.median(voiced[50:, low_bands]) > 0.7
        np.testing.assert_allclose(np.median(unvoiced[50:, low_bands]), 0.5, atol=0.1)
        harmonicity[rate, f0] = np.median(voiced[50:, f + 2])
    # Interpolated onto the grid, the coarser 48 kHz spectrum is smoother and reads a little higher.
    np.testing.assert_allclose(harmonicity[48000, 150.0], harmonicity[16000, 150.0], rtol=0.25)
