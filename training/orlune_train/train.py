"""The training loop: feature statistics, fresh batches, schedule, validation."""

from __future__ import annotations

import copy
import dataclasses
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import torch

from . import augment
from .corpus import Corpus
from .dataset import Batch, FreshMixtures, make_batch
from .engine import Engine
from .model import Network

# Predicting a gain below the target (speech taken away) costs this much more than above.
OVER_SUPPRESSION_WEIGHT = 1.0
VOICE_WEIGHT = 0.05
# Validation and the kept network use a running average of the weights over roughly the
# last 1 / (1 - decay) steps, which smooths out the noise of the last updates.
WEIGHT_AVERAGE_DECAY = 0.995


@dataclass(frozen=True)
class Settings:
    seed: int = 1
    steps: int = 10000
    clips: int = 16
    seconds: float = 3.0
    learning_rate: float = 2e-3
    warmup_steps: int = 150
    final_lr_share: float = 0.03
    weight_decay: float = 1e-4
    validation_every: int = 200
    validation_clips: int = 96
    stats_clips: int = 96
    loader_workers: int = 1
    # One thread: on a shared machine a second one made steps ten times slower (spinning).
    threads: int = 1
    conv: int = 64
    hidden: int = 160
    finishing_steps: int = 1500


def loss_terms(output: torch.Tensor, batch: Batch) -> tuple[torch.Tensor, torch.Tensor]:
    """(band-gain loss, voice-activity loss).

    Gains are compared after a square root, which weighs errors the way loudness does,
    and gains below the target (speech suppressed) are penalised extra."""
    bands = batch.gains.shape[-1]
    predicted = torch.sqrt(output[..., :bands] + 1e-8)
    wanted = torch.sqrt(batch.gains)
    error = predicted - wanted
    per_band = error**2 + OVER_SUPPRESSION_WEIGHT * torch.relu(-error) ** 2 + 4.0 * error**4
    gain = (per_band * batch.gain_mask).sum() / batch.gain_mask.sum().clamp(min=1.0)
    voice = torch.nn.functional.binary_cross_entropy(output[..., bands].clamp(1e-6, 1 - 1e-6), batch.voice)
    return gain, voice


def feature_statistics(corpus: Corpus, settings: Settings) -> tuple[np.ndarray, np.ndarray]:
    with Engine() as engine:
        rng = np.random.default_rng([settings.seed, 1 << 30])
        batch = make_batch(engine, rng, corpus.train_speech, corpus.noise, settings.stats_clips, settings.seconds)
    flat = batch.features.reshape(-1, batch.features.shape[-1]).numpy().astype(np.float64)
    return flat.mean(axis=0), np.maximum(flat.std(axis=0), 1e-3)


def learning_rate(step: int, settings: Settings) -> float:
    """Linear warm-up, then a cosine decay to a small share of the peak."""
    if step < settings.warmup_steps:
        return settings.learning_rate * (step + 1) / settings.warmup_steps
    progress = (step - settings.warmup_steps) / max(1, settings.steps - settings.warmup_steps)
    share = settings.final_lr_share + (1 - settings.final_lr_share) * 0.5 * (1 + math.cos(math.pi * progress))
    return settings.learning_rate * share


def evaluate(network: Network, batches: list[Batch]) -> float:
    network.eval()
    with torch.no_grad():
        total = []
        for batch in batches:
            gain, voice = loss_terms(network(batch.features), batch)
            total.append((gain + VOICE_WEIGHT * voice).item())
    network.train()
    return float(np.mean(total))


def save_checkpoint(path: Path, network: Network, summary: dict[str, str]) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    shape = {"bands": network.bands, "conv": network.conv.out_channels, "hidden": network.gru1.hidden_size}
    torch.save({"state": network.state_dict(), "shape": shape, "summary": summary}, path)


def load_checkpoint(path: Path) -> tuple[Network, dict[str, str]]:
    saved = torch.load(path, weights_only=True)
    state, shape = saved["state"], saved["shape"]
    network = Network(state["mean"].numpy(), state["std"].numpy(), shape["bands"], shape["conv"], shape["hidden"])
    network.load_state_dict(state)
    return network, dict(saved["summary"])


# The main stage: recorded noise also played up to 1.3 times as fast, and coloured noise
# down to -9 dB per octave and to 2 Hz. Faster recordings are more noises than the 76 there
# are; played slower too (0.7-1.3), they lowered the SI-SDR improvement, most at -5 dB SNR
# (0.3 dB). Without the steep noises reaching into rumble, faster and slower
# recordings taught the network that steady brown noise is a voice.
MAIN_RECIPE = augment.Recipe(
    p_noise_speed=0.5,
    coloured_slope_db=(-9.0, 1.5),
    coloured_floor_hz=(2.0, 20.0),
)


# The finishing stage: muted openings (exact zeros, then noise or speech), more speech out of
# digital silence and more steady synthetic noise, down to slopes steeper than brown noise,
# and short sung vowels, at a tenth of the main stage's learning rate. A model that has only
# heard sound arrive at the stream's start takes noise after a muted stretch for speech for
# seconds; taught that lesson alone, it also takes steady low-frequency noise for a voice,
# which the steep coloured noises unteach. Their slope reaches below 20 Hz, as rumble does:
# of all steady noises, steep noise with most of its energy down there is the one the
# network suppresses least. Read speech seldom holds a pitch, while the steady synthetic
# noises (hum, fan tones, beeps) do: without the vowels a voice on one pitch is suppressed
# within a fraction of a second. Longer or more frequent vowels make steady noise sound like
# a voice to it. The recordings go down to -10 dB SNR, where the synthetic noises stop at
# -5 dB: lower, steady noise becomes a voice.
FINISHING_RECIPE = augment.Recipe(
    recorded_snr_db=(-10.0, 20.0),
    p_silent_start=0.05,
    p_digital_silence=0.15,
    p_synthetic=0.45,
    coloured_slope_db=(-9.0, 1.5),
    coloured_floor_hz=(2.0, 20.0),
    p_held_note=0.10,
    held_note_seconds=(0.1, 0.5),
)


def finishing_settings(settings: Settings) -> Settings:
    """The finishing stage's schedule, on its own stream of mixtures."""
    return dataclasses.replace(
        settings,
        seed=settings.seed + 1,
        steps=settings.finishing_steps,
        learning_rate=settings.learning_rate / 10,
        warmup_steps=min(50, settings.finishing_steps),
    )


def _reporter(log: bool) -> Callable[[str], None]:
    started = time.monotonic()

    def say(message: str) -> None:
        if log:
            print(f"[{time.monotonic() - started:7.0f} s] {message}", flush=True)

    return say


def train(
    corpus: Corpus, settings: Settings, checkpoint: Path | None = None, log: bool = True
) -> tuple[Network, dict[str, str]]:
    """A trained network and a summary of the run for the bundle's metadata; the main
    stage's best weights so far are saved beside `checkpoint` (its name ending in
    "-main") at each validation, the final ones to `checkpoint`. The main stage, then the
    finishing stage from the main stage's best weights."""
    torch.manual_seed(settings.seed)
    torch.set_num_threads(settings.threads)
    say = _reporter(log)
    mean, std = feature_statistics(corpus, settings)
    with Engine() as engine:
        network = Network(mean, std, engine.bands, settings.conv, settings.hidden)
    say(
        f"network: {network.parameter_count()} weights, "
        f"{network.multiply_adds_per_frame() * 100 / 1e6:.1f} M multiply-adds per second of audio"
    )
    main_checkpoint = None if checkpoint is None else checkpoint.with_stem(checkpoint.stem + "-main")
    summary = train_stage(network, corpus, settings, MAIN_RECIPE, say, main_checkpoint, "training")
    if settings.finishing_steps:
        summary |= finish(network, corpus, settings, say)
    if checkpoint is not None:
        save_checkpoint(checkpoint, network, summary)
    return network, summary


def finish(
    network: Network,
    corpus: Corpus,
    settings: Settings,
    say: Callable[[str], None] | None = None,
) -> dict[str, str]:
    """The finishing stage, in place, from `network`'s weights (the main stage's, or those of
    a bundle read back with `Network.from_export`); the summary of the stage."""
    torch.set_num_threads(settings.threads)
    say = say or _reporter(True)
    say("finishing stage")
    return train_stage(network, corpus, finishing_settings(settings), FINISHING_RECIPE, say, None, "training.finishing")


def train_stage(
    network: Network,
    corpus: Corpus,
    settings: Settings,
    recipe: augment.Recipe,
    say: Callable[[str], None],
    checkpoint: Path | None,
    prefix: str,
) -> dict[str, str]:
    """Trains `network` in place for `settings.steps` steps on `recipe`'s mixtures and leaves
    it with the running average of its weights that did best on held-out speakers (mixed by
    the same recipe)."""
    started = time.monotonic()
    with Engine() as engine:
        rng = np.random.default_rng([settings.seed, 1 << 31])
        per_batch = min(32, settings.validation_clips)
        validation = [
            make_batch(engine, rng, corpus.validation_speech, corpus.noise, per_batch, settings.seconds, recipe)
            for _ in range(max(1, settings.validation_clips // per_batch))
        ]
    optimiser = torch.optim.AdamW(network.parameters(), lr=settings.learning_rate, weight_decay=settings.weight_decay)
    loader = torch.utils.data.DataLoader(
        FreshMixtures(
            corpus.train_speech, corpus.noise, settings.seed, settings.steps, settings.clips, settings.seconds, recipe
        ),
        batch_size=None,
        num_workers=settings.loader_workers,
        prefetch_factor=4 if settings.loader_workers else None,
        persistent_workers=False,
    )
    averaged = copy.deepcopy(network)
    best: tuple[float, dict[str, torch.Tensor], int] = (math.inf, copy.deepcopy(network.state_dict()), 0)

    def summarise() -> dict[str, str]:
        return {
            f"{prefix}.steps": str(settings.steps),
            f"{prefix}.best_step": str(best[2]),
            f"{prefix}.validation_loss": f"{best[0]:.5f}",
            f"{prefix}.clips_per_step": str(settings.clips),
            f"{prefix}.clip_seconds": str(settings.seconds),
            f"{prefix}.minutes": f"{(time.monotonic() - started) / 60:.1f}",
        }

    running = (0.0, 0.0)
    for step, batch in enumerate(loader):
        for group in optimiser.param_groups:
            group["lr"] = learning_rate(step, settings)
        gain, voice = loss_terms(network(batch.features), batch)
        loss = gain + VOICE_WEIGHT * voice
        optimiser.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(network.parameters(), 1.0)
        optimiser.step()
        with torch.no_grad():
            # The average starts from the stage's first weights; after 1000 steps they
            # weigh less than 1 %.
            for mean, current in zip(averaged.parameters(), network.parameters(), strict=True):
                mean.lerp_(current, 1.0 - WEIGHT_AVERAGE_DECAY)
        running = (0.98 * running[0] + 0.02 * gain.item(), 0.98 * running[1] + 0.02 * voice.item())
        done = step + 1
        if done % settings.validation_every == 0 or done == settings.steps:
            score = evaluate(averaged, validation)
            if score < best[0]:
                best = (score, copy.deepcopy(averaged.state_dict()), done)
                if checkpoint is not None:
                    save_checkpoint(checkpoint, averaged, summarise())
            eta = (time.monotonic() - started) / done * (settings.steps - done)
            smoothed = [r / (1 - 0.98**done) for r in running]
            say(
                f"step {done}/{settings.steps}: gain loss {smoothed[0]:.4f}, voice loss {smoothed[1]:.3f}, "
                f"validation {score:.4f} (best {best[0]:.4f} at {best[2]}), lr {group['lr']:.2e}, "
                f"about {eta / 60:.0f} min left"
            )
        elif done % 25 == 0:
            say(f"step {done}/{settings.steps}: gain loss {running[0] / (1 - 0.98**done):.4f}")
    network.load_state_dict(best[1])
    say(f"kept the weights of step {best[2]} (validation {best[0]:.4f})")
    return summarise()
