"""Batches of fresh mixtures turned into engine features and training targets."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import torch

from . import augment
from .corpus import TRAINING_RATE, Audio
from .engine import Engine

# Band energy (power per Hz) below which a band holds nothing but the 16-bit grid: its
# gain target means nothing (band-limited input, digital silence).
SILENT_BAND_ENERGY = 1e-12
# A frame is speech when its clean energy is within this of the clip's loud frames.
VOICE_RANGE_DB = 30.0


@dataclass
class Batch:
    features: torch.Tensor  # [N, T, F]
    gains: torch.Tensor  # [N, T, B] ideal band gains in [0, 1]
    gain_mask: torch.Tensor  # [N, T, B] 1 where the target gain means something
    voice: torch.Tensor  # [N, T] 1 on speech frames


def targets(clean_energy: np.ndarray, noisy_energy: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(gains, mask, voice) of one clip from its clean and noisy band energies."""
    gains = np.sqrt(clean_energy / np.maximum(noisy_energy, 1e-30)).clip(0.0, 1.0)
    mask = (noisy_energy > SILENT_BAND_ENERGY).astype(np.float32)
    frame_energy = clean_energy.sum(axis=1)
    loud = np.percentile(frame_energy, 95) if frame_energy.any() else 0.0
    voice = (frame_energy > max(loud * 10 ** (-VOICE_RANGE_DB / 10), SILENT_BAND_ENERGY)).astype(np.float32)
    return gains.astype(np.float32), mask, voice


def make_batch(
    engine: Engine,
    rng: np.random.Generator,
    speech: list[Audio],
    noise: list[Audio],
    clips: int,
    seconds: float,
    recipe: augment.Recipe = augment.Recipe(),
) -> Batch:
    length = int(seconds * TRAINING_RATE)
    features, gains, masks, voices = [], [], [], []
    for _ in range(clips):
        clean, noisy = augment.mixture(rng, speech, noise, length, recipe)
        feats, noisy_energy = engine.analyse(noisy, TRAINING_RATE)
        _, clean_energy = engine.analyse(clean, TRAINING_RATE)
        g, m, v = targets(clean_energy, noisy_energy)
        features.append(feats)
        gains.append(g)
        masks.append(m)
        voices.append(v)
    return Batch(
        torch.from_numpy(np.stack(features)),
        torch.from_numpy(np.stack(gains)),
        torch.from_numpy(np.stack(masks)),
        torch.from_numpy(np.stack(voices)),
    )


class FreshMixtures(torch.utils.data.IterableDataset):  # type: ignore[type-arg]
    """Batch k is made from its own seed (seed, k): new mixtures every step, the same
    sequence on every run whatever the number of loader workers."""

    def __init__(
        self,
        speech: list[Audio],
        noise: list[Audio],
        seed: int,
        steps: int,
        clips: int,
        seconds: float,
        recipe: augment.Recipe = augment.Recipe(),
    ) -> None:
        self.speech, self.noise = speech, noise
        self.seed, self.steps, self.clips, self.seconds = seed, steps, clips, seconds
        self.recipe = recipe

    def __iter__(self) -> Iterator[Batch]:
        info = torch.utils.data.get_worker_info()
        first, stride = (0, 1) if info is None else (info.id, info.num_workers)
        with Engine() as engine:
            for step in range(first, self.steps, stride):
                rng = np.random.default_rng([self.seed, step])
                yield make_batch(engine, rng, self.speech, self.noise, self.clips, self.seconds, self.recipe)
