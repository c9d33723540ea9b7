"""Learned-model bundles for the tests, written with engine/tools/make_bundle.py."""

from __future__ import annotations

from pathlib import Path
from types import ModuleType

import numpy as np

BANDS = 32
FEATURES = 5 * BANDS + 4
OUTPUTS = BANDS + 1


def random_layers(make_bundle: ModuleType, seed: int = 5) -> list:
    """The reference network with random weights."""
    layers: list = make_bundle.random_layers(seed)
    return layers


def constant_layers(make_bundle: ModuleType, gain: float, probability: float) -> list:
    """One dense layer that ignores its input: every band gain and the speech probability fixed."""
    logit = lambda p: np.log(p / (1.0 - p))  # noqa: E731
    bias = np.full(OUTPUTS, logit(gain), np.float32)
    bias[-1] = logit(probability)
    return [make_bundle.Layer("dense", "sigmoid", {"weight": np.zeros((OUTPUTS, FEATURES), np.float32), "bias": bias})]


def write(make_bundle: ModuleType, path: Path, layers: list, **options: object) -> Path:
    result: Path = make_bundle.write_learned_bundle(path, layers, {"purpose": "test"}, **options)
    return result
