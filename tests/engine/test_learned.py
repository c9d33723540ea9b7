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


@pytest.mark.parametrize("band_gain, lowest_drop_db, highest_drop_db", [(0.5, 5.5, 7.0), (0.25, 17.0, 19.5)])
def test_band_gains_keep_their_band_energy_and_a_gain_of_one_keeps_the_input(
    engine: Engine, constant_bundle, band_gain: float, lowest_drop_db: float, highest_drop_db: float  # type: ignore[no-untyped-def]
) -> None:
    # Every band at 0.5: the bins share the band's output energy unevenly, and each
    # octave loses about 6 dB (a little more where bins reach full gain and the rest
    # of their share is dropped). At 0.25, below the knee, the band gain is expanded to
    # 0.125: about 18 dB, not 12. Every band at 1: the output is the input, delayed.
    rate = 16000
    rng = np.random.default_rng(4)
    signal = (rng.standard_normal(2 * rate) * 0.1).astype(np.float32)
    with engine.session(rate, 100.0, constant_bundle(band_gain, 0.9)) as session:
        output, probability = session.process(signal)
    np.testing.assert_allclose(probability, 0.9, rtol=1e-6)
    aligned, reference = output[session.latency :][rate // 2 :], signal[rate // 2 : len(output) - session.latency]
    for low in (125.0, 250.0, 500.0, 1000.0, 2000.0, 4000.0):
        drop = band_level_db(reference, rate, low, 2 * low) - band_level_db(aligned, rate, low, 2 * low)
        assert lowest_drop_db < drop < highest_drop_db, f"{low:.0f}-{2 * low:.0f} Hz dropped {drop:.2f} dB"
    with engine.session(rate, 100.0, constant_bundle(1.0 - 1e-7, 0.9)) as session:
        output, _ = session.process(signal)
    delayed = np.concatenate([np.zeros(session.latency, np.float32), signal])[: len(output)]
    np.testing.assert_allclose(output, delayed, atol=2e-6)


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


def test_within_a_band_harmonics_keep_more_than_the_noise_between_them(engine: Engine, constant_bundle) -> None:  # type: ignore[no-untyped-def]
    rate = 16000
    t = np.arange(3 * rate) / rate
    harmonics = sum(np.sin(2 * np.pi * 500.0 * h * t + h) for h in range(1, 8)) / 7
    syllables = np.maximum(np.sin(2 * np.pi * 3.0 * t), 0.0)  # so no tracker takes it for noise
    signal = (0.1 * harmonics * syllables + white_noise(rate, 3.0, -40.0)).astype(np.float32)
    with engine.session(rate, 100.0, constant_bundle(0.5, 0.9)) as session:
        output, _ = session.process(signal)
    aligned, reference = output[session.latency :][rate:], signal[rate : len(output) - session.latency]
    frequencies = np.fft.rfftfreq(len(reference), 1.0 / rate)
    near_harmonic = np.abs((frequencies + 250.0) % 500.0 - 250.0) < 100.0
    within = (frequencies > 250.0) & (frequencies < 3750.0)

    def drop_db(selected: np.ndarray) -> float:
        spectra = [np.abs(np.fft.rfft(x.astype(np.float64)))[selected] ** 2 for x in (reference, aligned)]
        return float(10.0 * np.log10(spectra[0].sum() / spectra[1].sum()))

    # A band gain of 0.5 spread evenly takes 6.02 dB off every bin. Here the harmonics,
    # holding nearly all the energy, lose about that, and the noise between them more
    # (while the tone sounds; between syllables it is all noise and loses 6 dB).
    assert drop_db(within & near_harmonic) < 7.0
    assert drop_db(within & ~near_harmonic) > 7.5


@pytest.mark.parametrize("band_gain, lowest_drop_db, highest_drop_db", [(0.6, 0.0, 1.0), (0.4, 8.5, 11.0)])
def test_clean_speech_keeps_the_statistical_gain_where_the_network_mostly_keeps_its_band(
    engine: Engine, constant_bundle, band_gain: float, lowest_drop_db: float, highest_drop_db: float  # type: ignore[no-untyped-def]
) -> None:
    # Syllables of a harmonic tone far above a faint noise floor: the statistical
    # estimator is sure of them, so a band gain above one half lets them through whole;
    # 0.4, expanded to 0.32, takes about 10 dB off.
    rate = 16000
    t = np.arange(3 * rate) / rate
    harmonics = sum(np.sin(2 * np.pi * 250.0 * h * t + h) for h in range(1, 12)) / 11
    syllables = np.maximum(np.sin(2 * np.pi * 3.0 * t), 0.0)
    signal = (0.1 * harmonics * syllables + white_noise(rate, 3.0, -80.0)).astype(np.float32)
    with engine.session(rate, 100.0, constant_bundle(band_gain, 0.9)) as session:
        output, _ = session.process(signal)
    aligned, reference = output[session.latency :][rate:], signal[rate : len(output) - session.latency]
    assert lowest_drop_db <= level_db(reference) - level_db(aligned) <= highest_drop_db
