"""The network: causal convolution, two GRUs, band gains and voice activity out."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import torch
from torch import nn

CONV_TAPS = 3


@dataclass(frozen=True)
class ExportedLayer:
    """One layer as the engine's bundle stores it (PyTorch weight layouts)."""

    kind: str  # "conv1d" | "gru" | "dense"
    activation: str  # "linear" | "relu" | "tanh" | "sigmoid"
    weights: dict[str, np.ndarray]


class Network(nn.Module):
    """F raw engine features per frame -> B band gains and a speech probability.

    Feature normalisation is fixed before training and folded into the convolution at
    export, so the engine feeds the raw features. The convolution's zero history at the
    stream start is zero in raw feature units, as in the engine.
    """

    def __init__(
        self, mean: np.ndarray, std: np.ndarray, bands: int, conv: int = 64, hidden: int = 128
    ) -> None:
        super().__init__()
        features = len(mean)
        self.register_buffer("mean", torch.as_tensor(mean, dtype=torch.float32))
        self.register_buffer("std", torch.as_tensor(std, dtype=torch.float32))
        self.conv = nn.Conv1d(features, conv, CONV_TAPS)
        self.gru1 = nn.GRU(conv, hidden, batch_first=True)
        self.gru2 = nn.GRU(hidden, hidden, batch_first=True)
        self.out = nn.Linear(hidden, bands + 1)
        self.bands = bands

    @classmethod
    def from_export(cls, layers: Sequence[ExportedLayer], mean: np.ndarray, std: np.ndarray) -> Network:
        """The network that `export` wrote, given the normalisation it was trained with."""
        conv, gru1, gru2, out = (layer.weights for layer in layers)
        network = cls(mean, std, out["bias"].shape[0] - 1, conv["bias"].shape[0], gru1["weight_hh"].shape[1])
        folded = np.asarray(conv["weight"], np.float64)
        state = {
            "conv.weight": folded * np.asarray(std, np.float64)[None, :, None],
            "conv.bias": conv["bias"] + np.einsum("oik,i->o", folded, np.asarray(mean, np.float64)),
            "out.weight": out["weight"],
            "out.bias": out["bias"],
            "mean": mean,
            "std": std,
        }
        for name, weights in (("gru1", gru1), ("gru2", gru2)):
            state |= {f"{name}.{key}_l0": value for key, value in weights.items()}
        network.load_state_dict({k: torch.as_tensor(np.asarray(v), dtype=torch.float32) for k, v in state.items()})
        return network

    def forward(self, features: torch.Tensor) -> torch.Tensor:
        """[N, T, F] -> [N, T, B + 1], all in [0, 1]."""
        padded = nn.functional.pad(features, (0, 0, CONV_TAPS - 1, 0))
        normalised = (padded - self.mean) / self.std
        x = torch.tanh(self.conv(normalised.transpose(1, 2))).transpose(1, 2)
        x, _ = self.gru1(x)
        x, _ = self.gru2(x)
        return torch.sigmoid(self.out(x))

    def parameter_count(self) -> int:
        return sum(p.numel() for p in self.parameters())

    def multiply_adds_per_frame(self) -> int:
        conv = self.conv.weight.numel()
        grus = sum(g.weight_ih_l0.numel() + g.weight_hh_l0.numel() for g in (self.gru1, self.gru2))
        return conv + grus + self.out.weight.numel()

    def export(self) -> list[ExportedLayer]:
        """The layers with the normalisation folded into the first one."""

        def array(t: torch.Tensor) -> np.ndarray:
            return t.detach().to(torch.float64).numpy()

        scale = 1.0 / array(self.std)
        weight = array(self.conv.weight) * scale[None, :, None]
        bias = array(self.conv.bias) - np.einsum("oik,i->o", weight, array(self.mean))

        def gru(layer: nn.GRU) -> ExportedLayer:
            names = ("weight_ih", "weight_hh", "bias_ih", "bias_hh")
            return ExportedLayer("gru", "linear", {n: array(getattr(layer, f"{n}_l0")) for n in names})

        layers = [
            ExportedLayer("conv1d", "tanh", {"weight": weight, "bias": bias}),
            gru(self.gru1),
            gru(self.gru2),
            ExportedLayer("dense", "sigmoid", {"weight": array(self.out.weight), "bias": array(self.out.bias)}),
        ]
        for layer in layers:
            layer.weights.update({k: v.astype(np.float32) for k, v in layer.weights.items()})
        return layers
