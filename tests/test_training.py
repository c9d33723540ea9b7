"""The training pipeline on data made here: mixtures, targets, a few steps, export."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="the train extra is not installed")
pytest.importorskip("scipy")

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "training"))

from orlune_train import augment, dataset, export, train  # noqa: E402
from orlune_train.corpus import TRAINING_RATE, Corpus  # noqa: E402
from orlune_train.engine import Engine  # noqa: E402
from orlune_train.model import Network  # noqa: E402


def voiced(rng: np.random.Generator, seconds: float) -> np.ndarray:
    """Harmonic bursts with a syllable-rate envelope: speech enough for the pipeline."""
    t = np.arange(int(seconds * TRAINING_RATE)) / TRAINING_RATE
    pitch = rng.uniform(100, 220)
    tone = sum(np.sin(2 * np.pi * pitch * k * t) / k for k in range(1, 20) if pitch * k < 7500)
    return (0.1 * tone * np.clip(np.sin(2 * np.pi * 3.0 * t), 0, None)).astype(np.float32)


@pytest.fixture(scope="module")
def tiny_corpus() -> Corpus:
    rng = np.random.default_rng(5)
    speech = [voiced(rng, 2.0) for _ in range(4)]
    noise = [augment.coloured(rng, 3 * TRAINING_RATE) for _ in range(2)]
    return Corpus(speech[:3], speech[3:], noise, "0" * 64, ["synthetic"])


@pytest.mark.parametrize("seed", range(4))
def test_mixtures_start_with_the_stream(tiny_corpus: Corpus, seed: int) -> None:
    # Early-onset clips put speech energy within the first 50 ms; the noise is the
    # difference of the two signals and is there from the first sample.
    recipe = augment.Recipe(
        p_lead=0.0, p_early_onset=1.0, p_noise_only=0.0, p_clean_only=0.0, p_room=0.0, p_digital_silence=0.0
    )
    clean, noisy = augment.mixture(np.random.default_rng(seed), tiny_corpus.train_speech, tiny_corpus.noise, 32000, recipe)
    assert clean.shape == noisy.shape == (32000,)
    assert np.max(np.abs(noisy)) <= 0.99 + 1 / 32768
    first_speech = np.argmax(np.abs(clean) > 1e-3 * np.max(np.abs(clean)))
    assert first_speech < 0.05 * TRAINING_RATE + 160
    assert np.std(noisy[:400] - clean[:400]) > 0


@pytest.mark.parametrize("seed", range(3))
def test_muted_openings_are_exact_zeros_then_sound(tiny_corpus: Corpus, seed: int) -> None:
    recipe = augment.Recipe(p_silent_start=1.0, p_noise_only=0.0, p_digital_silence=0.0)
    clean, noisy = augment.mixture(np.random.default_rng(seed), tiny_corpus.train_speech, tiny_corpus.noise, 32000, recipe)
    assert clean.shape == noisy.shape == (32000,)
    muted = int(np.argmax(noisy != 0))
    assert 0.1 * TRAINING_RATE <= muted <= 16000 and not clean[:muted].any()
    assert np.count_nonzero(noisy[muted : muted + 160]) > 100


@pytest.mark.parametrize("seed", range(3))
def test_held_notes_are_periodic_voices_of_the_drawn_length(tiny_corpus: Corpus, seed: int) -> None:
    note = augment.held_note(np.random.default_rng(seed), 3 * TRAINING_RATE, (0.3, 0.6))
    assert 0.3 * TRAINING_RATE <= len(note) <= 0.6 * TRAINING_RATE and note[0] == 0
    held = note[len(note) // 4 : 3 * len(note) // 4]
    lags = range(TRAINING_RATE // 400, TRAINING_RATE // 90 + 1)
    assert max(np.dot(held[:-lag], held[lag:]) for lag in lags) > 0.6 * np.dot(held, held)
    # As the only utterances of a mixture: notes with pauses between them, voice in the clean part.
    recipe = augment.Recipe(p_held_note=1.0, held_note_seconds=(0.3, 0.6), p_noise_only=0.0, p_lead=0.0)
    clean, _ = augment.mixture(np.random.default_rng(seed), tiny_corpus.train_speech, tiny_corpus.noise, 32000, recipe)
    voiced = np.abs(clean) > 1e-4 * np.max(np.abs(clean))
    assert 0.3 < voiced.mean() < 0.9


@pytest.mark.parametrize("seed", range(3))
def test_recorded_noise_has_its_own_snr_range_and_rumble_reaches_below_20_hz(tiny_corpus: Corpus, seed: int) -> None:
    plain = dict(p_second_noise=0.0, p_noise_only=0.0, p_clean_only=0.0, p_digital_silence=0.0)
    snrs = []
    for p_synthetic in (0.0, 1.0):
        recipe = augment.Recipe(snr_db=(30.0, 31.0), recorded_snr_db=(-10.0, -9.0), p_synthetic=p_synthetic, **plain)
        clean, noisy = augment.mixture(np.random.default_rng(seed), tiny_corpus.train_speech, tiny_corpus.noise, 32000, recipe)
        snrs.append(10 * np.log10(np.sum(clean**2) / np.sum((noisy - clean) ** 2)))
    assert snrs[0] < -5 and snrs[1] > 20
    shares = []
    for floor_hz in (2.0, 20.0):
        noise = augment.coloured(np.random.default_rng(seed), 3 * TRAINING_RATE, (-6.0, -6.0), (floor_hz, floor_hz))
        power = np.abs(np.fft.rfft(noise)) ** 2
        shares.append(power[: 3 * 20].sum() / power.sum())  # bins of 1/3 Hz
    assert shares[0] > 0.85 and shares[1] < 0.65


@pytest.mark.parametrize("seed", range(3))
def test_speed_change_moves_pitch_and_fills_the_length(seed: int) -> None:
    t = np.arange(2 * TRAINING_RATE) / TRAINING_RATE
    tone = np.sin(2 * np.pi * 1000.0 * t).astype(np.float32)
    changed = augment.change_speed(np.random.default_rng(seed), tone, TRAINING_RATE, 0.15)
    assert changed.shape == (TRAINING_RATE,)
    peak_hz = np.argmax(np.abs(np.fft.rfft(changed * np.hanning(len(changed))))) * TRAINING_RATE / len(changed)
    assert 1000 / 1.16 < peak_hz < 1000 / 0.84 and abs(peak_hz - 1000) > 30


@pytest.mark.parametrize(("seed", "speeds"), [(0, (1.0, 1.3)), (1, (1.0, 1.3)), (2, (0.7, 1.0)), (3, (0.7, 1.0))])
def test_noise_at_speed_stays_within_its_speeds(seed: int, speeds: tuple[float, float]) -> None:
    t = np.arange(TRAINING_RATE // 2) / TRAINING_RATE  # shorter than asked for: looped
    tone = np.sin(2 * np.pi * 1000.0 * t).astype(np.float32)
    played = augment.noise_at_speed(np.random.default_rng(seed), tone, TRAINING_RATE, speeds)
    assert played.shape == (TRAINING_RATE,)
    peak_hz = np.argmax(np.abs(np.fft.rfft(played * np.hanning(len(played))))) * TRAINING_RATE / len(played)
    assert 1000 * speeds[0] - 5 < peak_hz < 1000 * speeds[1] + 5 and abs(peak_hz - 1000) > 30


def test_targets_mask_silent_bands_and_mark_voice() -> None:
    frames, bands = 6, 4
    noisy = np.full((frames, bands), 1e-6)
    noisy[:, 3] = 0.0  # above a band limit: nothing at all
    clean = np.zeros((frames, bands))
    clean[3:, :3] = 4e-6  # speech louder than the mixture's estimate: gain clipped to 1
    gains, mask, voice = dataset.targets(clean, noisy)
    assert gains.max() <= 1.0 and gains[3:, :3].min() == 1.0 and gains[:3].max() == 0.0
    np.testing.assert_array_equal(mask[:, 3], 0.0)
    np.testing.assert_array_equal(voice, [0, 0, 0, 1, 1, 1])


def test_batches_repeat_for_a_seed(tiny_corpus: Corpus) -> None:
    with Engine() as engine:
        a, b, c = (
            dataset.make_batch(engine, np.random.default_rng(s), tiny_corpus.train_speech, tiny_corpus.noise, 2, 0.5)
            for s in (1, 1, 2)
        )
    assert a.features.shape == (2, 50, engine.features)
    assert torch.equal(a.features, b.features) and torch.equal(a.gains, b.gains)
    assert not torch.equal(a.features, c.features)


def folded_forward(layers: list, features: np.ndarray) -> np.ndarray:
    """The exported layers run the way the engine defines them, in float64."""
    x = features.astype(np.float64)
    for layer in layers:
        w = layer.weights
        if layer.kind == "conv1d":
            taps = w["weight"].shape[2]
            padded = np.vstack([np.zeros((taps - 1, x.shape[1])), x])
            x = np.stack([np.einsum("oik,ki->o", w["weight"], padded[t : t + taps]) for t in range(len(x))]) + w["bias"]
        elif layer.kind == "gru":
            h = np.zeros(w["weight_hh"].shape[1])
            out = []
            for frame in x:
                gi, gh = w["weight_ih"] @ frame + w["bias_ih"], w["weight_hh"] @ h + w["bias_hh"]
                r, z = (1 / (1 + np.exp(-(gi[k] + gh[k]))) for k in (slice(0, len(h)), slice(len(h), 2 * len(h))))
                n = np.tanh(gi[2 * len(h) :] + r * gh[2 * len(h) :])
                h = (1 - z) * n + z * h
                out.append(h)
            x = np.array(out)
        else:
            x = x @ w["weight"].T + w["bias"]
        x = {"tanh": np.tanh, "sigmoid": lambda v: 1 / (1 + np.exp(-v)), "linear": lambda v: v}[layer.activation](x)
    return x


def test_a_few_steps_train_and_export_what_the_network_computes(tiny_corpus: Corpus, tmp_path: Path) -> None:
    settings = train.Settings(
        steps=3, clips=4, seconds=1.0, validation_every=3, validation_clips=4, stats_clips=4,
        loader_workers=0, conv=8, hidden=6, finishing_steps=2,
    )
    checkpoint = tmp_path / "best.pt"
    network, summary = train.train(tiny_corpus, settings, checkpoint=checkpoint, log=False)
    assert summary["training.best_step"] == "3" and np.isfinite(float(summary["training.validation_loss"]))
    assert summary["training.finishing.best_step"] == "2"
    restored, restored_summary = train.load_checkpoint(checkpoint)
    # The main stage's best is kept apart from the finished network.
    assert "training.finishing.steps" in restored_summary
    assert "training.finishing.steps" not in train.load_checkpoint(tmp_path / "best-main.pt")[1]

    # Raw engine features, silence first, so the zero history at the stream start counts.
    with Engine() as engine:
        signal = np.concatenate([np.zeros(800, np.float32), voiced(np.random.default_rng(9), 0.5)])
        features, _ = engine.analyse(signal, TRAINING_RATE)
    with torch.no_grad():
        expected = restored(torch.from_numpy(features)[None])[0].numpy()
    np.testing.assert_allclose(folded_forward(network.export(), features), expected, atol=2e-5)
    # The engine runs the written bundle as the network does, and a session loads it.
    bundle = export.write_bundle(network.export(), tmp_path / "learned.bin", {"training.seed": "1"})
    with Engine(bundle) as engine:
        np.testing.assert_allclose(engine.infer(features), expected, atol=1e-4)
    # Read back (for a finishing stage from a bundle), it is the same network again.
    layers, metadata = export.read_bundle(bundle)
    reread = Network.from_export(layers, network.mean.numpy(), network.std.numpy())
    with torch.no_grad():
        np.testing.assert_allclose(reread(torch.from_numpy(features)[None])[0].numpy(), expected, atol=1e-5)
    assert metadata == {"training.seed": "1"}
    from orlune._orlune_nc import OrluneNC

    session = OrluneNC(sample_rate=16000, attenuation_limit_db=100.0, model_path=bundle)
    try:
        output = session.process_frame(np.full(160, 1000, np.int16))
    finally:
        session.close()
    assert output.dtype == np.int16 and output.shape == (160,)


def test_readme_section_is_replaced_in_place(tmp_path: Path) -> None:
    readme = tmp_path / "README.md"
    readme.write_text("# engine\n\nintro\n\n## Known limits\n\n- one\n")
    first = {key: "x" for key in ("training.command", "training.seed", "training.manifest_sha256",
             "training.code_commit", "training.steps", "training.best_step", "training.minutes",
             "network.layers", "network.weights", "network.mmacs_per_second", "training.corpora")}
    export.update_readme({**first, "training.seed": "11"}, readme)
    export.update_readme({**first, "training.seed": "22"}, readme)
    text = readme.read_text()
    assert text.startswith("# engine\n\nintro\n\n## Known limits\n\n- one\n\n" + export.README_HEADING)
    assert text.count(export.README_HEADING) == 1 and "| 22 |" in text and "| 11 |" not in text
    # A section the engine's own documentation adds later stays after it.
    readme.write_text(text + "\n## Later\n\nmore\n")
    export.update_readme({**first, "training.seed": "33"}, readme)
    text = readme.read_text()
    assert "| 33 |" in text and text.index("| 33 |") < text.index("## Later\n\nmore\n")
