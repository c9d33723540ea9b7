"""Sessions of a learned model: how the network's outputs become the output signal."""

from __future__ import annotations

import math
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

from tests.engine import learned_bundles
from tests.engine.engine_api import Engine, level_db, white_noise


def band_level_db(signal: np.ndarray, rate: int, low: float, high: float) -> float:
    spectrum = np.abs(np.fft.rfft(signal.astype(np.float64))) ** 2
    frequencies = np.fft.rfftfreq(len(signal), 1.0 / rate)
    return float(10.0 * np.log10(spectrum[(frequencies >= low) & (frequencies < high)].sum() + 1e-30))


@pytest.fixture(scope="module")
def constant_bundle(make_bundle: ModuleType, tmp_path_factory: pytest.TempPathFactory):  # type: ignore[no-untyped-def]
    def write(gain: float, probability: float) -> Path:
        path = tmp_path_factory.mktemp("constant") / f"{gain}-{probability}.bin"
        return learned_bundles.write(make_bundle, path, learned_bundles.constant_layers(make_bundle, gain, probability))
    return write


@pytest.mark.parametrize("rate", [16000, 48000])
def test_suppression_reaches_the_limit_and_40_db_without_one(engine: Engine, silencing_bundle: Path, rate: int) -> None:
    # A network that calls everything noise: the output sits at the floor, the tighter of
    # the limit and the model's own, in every bin (above 8 kHz too).
    noise = white_noise(rate, 2.0, -20.0)
    settled = slice(rate // 2, None)
    for limit_db in (6.0, 12.0, 24.0, 40.0, math.inf, math.nan):
        with engine.session(rate, limit_db, silencing_bundle) as session:
            output, probability = session.process(noise)
        drop = level_db(noise[settled]) - level_db(output[session.latency :][settled])
        if math.isfinite(limit_db):
            assert abs(drop - limit_db) <= 0.5, f"limit {limit_db} dB dropped {drop:.2f} dB"
        else:
            assert drop >= 40.0, f"no limit dropped only {drop:.2f} dB"
        np.testing.assert_array_equal(probability, np.float32(0.2))


def test_band_gains_become_bin_gains_through_triangles_that_sum_to_one(engine: Engine, constant_bundle) -> None:  # type: ignore[no-untyped-def]
    # Every band at 0.5: every bin at 0.5, so the output is half the input, delayed.
    rate = 16000
    rng = np.random.default_rng(4)
    signal = (rng.standard_normal(rate) * 0.1).astype(np.float32)
    with engine.session(rate, 100.0, constant_bundle(0.5, 0.9)) as session:
        output, probability = session.process(signal)
    delayed = np.concatenate([np.zeros(session.latency, np.float32), signal])[: len(output)]
    np.testing.assert_allclose(output, 0.5 * delayed, atol=2e-6)
    np.testing.assert_allclose(probability, 0.9, rtol=1e-6)


def test_above_8_khz_noise_is_suppressed_and_modulated_sound_kept_when_the_network_keeps_its_top_bands(
    engine: Engine, constant_bundle  # type: ignore[no-untyped-def]
) -> None:
    rate = 48000
    keep_all = constant_bundle(0.999999, 0.9)
    noise = white_noise(rate, 3.0, -30.0)
    with engine.session(rate, 100.0, keep_all) as session:
        output, _ = session.process(noise)
    out, ref = output[session.latency :][rate:], noise[rate : len(output) - session.latency]
    assert abs(band_level_db(ref, rate, 100, 7500) - band_level_db(out, rate, 100, 7500)) < 0.1
    assert band_level_db(ref, rate, 9000, 23000) - band_level_db(out, rate, 9000, 23000) >= 10.0

    t = np.arange(3 * rate) / rate
    high = sum(np.sin(2 * np.pi * 150.0 * h * t + h) for h in range(60, 100)) / 40
    voiced = (0.1 * high * (0.5 + 0.5 * np.sin(2 * np.pi * 4.0 * t))).astype(np.float32)
    with engine.session(rate, 100.0, keep_all) as session:
        kept, _ = session.process(voiced)
    aligned = kept[session.latency :][rate:]
    assert level_db(voiced[rate : rate + len(aligned)]) - level_db(aligned) <= 1.5


@pytest.mark.parametrize("rate", [16000, 44100])
def test_a_session_feeds_its_network_what_analyse_gives_training(
    engine: Engine, make_bundle: ModuleType, tmp_path: Path, rate: int
) -> None:
    # The speech probability of this network reads two features of the frame: a band's log
    # energy and the statistical presence. Sigmoids of analyse's features must match it.
    weight = np.zeros((learned_bundles.OUTPUTS, learned_bundles.FEATURES), np.float32)
    weight[-1, 5] = 0.1
    weight[-1, 4 * learned_bundles.BANDS] = 1.0
    bias = np.zeros(learned_bundles.OUTPUTS, np.float32)
    bias[-1] = 2.0
    layers = [make_bundle.Layer("dense", "sigmoid", {"weight": weight, "bias": bias})]
    path = learned_bundles.write(make_bundle, tmp_path / "probe.bin", layers)
    t = np.arange(2 * rate) / rate
    signal = white_noise(rate, 2.0, -40.0) + (0.1 * np.sin(2 * np.pi * 300.0 * t) * (t > 0.7)).astype(np.float32)
    with engine.session(rate, 100.0, path) as session:
        _, probability = session.process(signal)
    with engine.model(path) as model:
        features, _ = engine.analyse(model, rate, signal)
    expected = 1.0 / (1.0 + np.exp(-(features @ weight[-1].astype(np.float64) + 2.0)))
    assert np.ptp(expected) > 0.3
    np.testing.assert_allclose(probability, expected, atol=1e-6)
