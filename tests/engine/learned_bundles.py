"""Learned-model bundles for the tests, written with engine/tools/make_bundle.py."""

from __future__ import annotations

from pathlib import Path
from types import ModuleType

import numpy as np

BANDS = 32
FEATURES = 4 * BANDS + 2
OUTPUTS = BANDS + 1


def _uniform(rng: np.random.Generator, fan_in: int, *shape: int) -> np.ndarray:
    """PyTorch's default initialisation."""
    bound = 1.0 / np.sqrt(fan_in)
    return rng.uniform(-bound, bound, shape).astype(np.float32)


def random_layers(make_bundle: ModuleType, seed: int = 5) -> list:
    """The reference network with random weights: conv1d(F->64, k3, tanh), GRU 128, GRU 128,
    dense(128->B+1, sigmoid)."""
    rng = np.random.default_rng(seed)
    layer = make_bundle.Layer

    def gru(inputs: int, hidden: int) -> object:
        return layer("gru", "linear", {
            "weight_ih": _uniform(rng, hidden, 3 * hidden, inputs), "weight_hh": _uniform(rng, hidden, 3 * hidden, hidden),
            "bias_ih": _uniform(rng, hidden, 3 * hidden), "bias_hh": _uniform(rng, hidden, 3 * hidden)})  # fmt: skip

    return [
        layer("conv1d", "tanh", {"weight": _uniform(rng, 3 * FEATURES, 64, FEATURES, 3), "bias": _uniform(rng, 192, 64)}),
        gru(64, 128),
        gru(128, 128),
        layer("dense", "sigmoid", {"weight": _uniform(rng, 128, OUTPUTS, 128), "bias": _uniform(rng, 128, OUTPUTS)}),
    ]


def constant_layers(make_bundle: ModuleType, gain: float, probability: float) -> list:
    """One dense layer that ignores its input: every band gain and the speech probability fixed."""
    logit = lambda p: np.log(p / (1.0 - p))  # noqa: E731
    bias = np.full(OUTPUTS, logit(gain), np.float32)
    bias[-1] = logit(probability)
    return [make_bundle.Layer("dense", "sigmoid", {"weight": np.zeros((OUTPUTS, FEATURES), np.float32), "bias": bias})]


def write(make_bundle: ModuleType, path: Path, layers: list, **options: object) -> Path:
    result: Path = make_bundle.write_learned_bundle(path, layers, {"purpose": "test"}, **options)
    return result
