#!/usr/bin/env python3
"""Writes model bundles: the statistical engine's, and learned models.

Run after changing a parameter:  python engine/tools/make_bundle.py
(rewrites the statistical bundle and its entry in the packaged index). Training code calls
`write_learned_bundle` and `register_model`; the learned model is the packaged default.

A bundle is a table of named, typed sections (engine/src/bundle.hpp): the statistical
parameters as single floats, a learned model's layers as "net.<i>.*" sections and
metadata as "meta.<key>" text.
"""

from __future__ import annotations

import hashlib
import json
import struct
import zlib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

MAGIC = b"ORLUNEMB"
FORMAT_VERSION = 2
FLOAT32, TEXT = 1, 2
CLASSIC_MODEL_ID = "orlune-nc-classic"
CLASSIC_VERSION = "1"

ROOT = Path(__file__).resolve().parents[2]
MODELS_DIR = ROOT / "src" / "orlune" / "resources" / "models"

# Every tunable of the engine; the engine's loader requires exactly these names, one
# value each, within its ranges (engine/src/model.cpp). Smoothing constants are per 10 ms frame.
DEFAULT_PARAMETERS: dict[str, Sequence[float]] = {
    # Window: periodic Hann over this many 10 ms hops, split as analysis hann^e / synthesis hann^(1-e).
    "stft.window_hops": [3.0],
    "stft.window_exponent": [0.5],
    # Noise tracking by posterior speech presence (fixed-prior likelihood ratio).
    "noise.init_frames": [8.0],
    "noise.prior_snr_db": [15.0],
    "noise.prior_speech": [0.5],
    "noise.power_smoothing": [0.8],
    "noise.spp_smoothing": [0.9],
    "noise.spp_cap": [0.99],
    # Minimum statistics over 6 x 25 frames (1.5 s): bias x minimum of the smoothed power
    # caps the estimate, and power `gate_db` above that cap leaves it alone.
    "noise.minimum_smoothing": [0.5],
    "noise.minimum_bias_db": [10.0],
    "noise.gate_db": [4.0],
    "noise.minimum_subwindow_frames": [25.0],
    "noise.minimum_subwindows": [6.0],
    # A-priori SNR: 0 decision-directed with this weight, 1 cepstro-temporal smoothing.
    "snr.estimator": [1.0],
    "snr.dd_weight": [0.98],
    "snr.prior_min_db": [-25.0],
    # Cepstro-temporal smoothing of the ML speech power (floored at ml_floor_db re noise):
    # light below envelope_ms and around the pitch peak of voiced frames, strong elsewhere.
    "cepstral.ml_floor_db": [-20.0],
    "cepstral.envelope_ms": [0.5],
    "cepstral.envelope_smoothing": [0.5],
    "cepstral.smoothing": [0.9],
    "cepstral.pitch_min_hz": [70.0],
    "cepstral.pitch_max_hz": [400.0],
    "cepstral.pitch_threshold": [0.2],  # for harmonics up to pitch_band_hz; scaled for wider bands
    "cepstral.pitch_band_hz": [8000.0],
    "cepstral.pitch_smoothing": [0.2],
    "cepstral.pitch_halfwidth_ms": [0.15],
    "cepstral.bias_db": [0.0],
    # The engine's own lowest gain; a tighter attenuation limit from the caller wins.
    "gain.floor_db": [-20.0],
    # A-priori speech absence from smoothed a-priori SNR.
    "absence.snr_smoothing": [0.7],
    "absence.local_halfwidth_hz": [60.0],
    "absence.global_halfwidth_hz": [500.0],
    "absence.low_db": [-10.0],
    "absence.high_db": [-5.0],
    "absence.peak_min_db": [0.0],
    "absence.peak_max_db": [10.0],
    "absence.max": [0.95],
    # Band whose bins give the frame's speech presence probability.
    "presence.band_low_hz": [300.0],
    "presence.band_high_hz": [4000.0],
}


# The learned model's lowest gain: deep enough for 40 dB and more of suppression on
# noise-only stretches; a caller's tighter attenuation limit wins.
LEARNED_GAIN_FLOOR_DB = -60.0

Section = npt.ArrayLike | str


def encode_sections(sections: Mapping[str, Section]) -> bytes:
    """The bundle bytes for named sections: text (str) or float32 arrays of rank 1 to 4."""
    payload = bytearray()
    for name, value in sections.items():
        encoded = name.encode("ascii")
        payload += struct.pack("<H", len(encoded)) + encoded
        if isinstance(value, str):
            data, kind, shape = value.encode("utf-8"), TEXT, (len(value.encode("utf-8")),)
        else:
            array = np.asarray(value, dtype="<f4")
            data, kind, shape = array.tobytes(order="C"), FLOAT32, array.shape
        if not 1 <= len(shape) <= 4:
            raise ValueError(f"section {name!r} has rank {len(shape)}; 1 to 4 are possible")
        payload += struct.pack(f"<BB{len(shape)}II", kind, len(shape), *shape, zlib.crc32(data)) + data
    body = MAGIC + struct.pack("<IIQ", FORMAT_VERSION, len(sections), len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


def encode_bundle(parameters: Mapping[str, Sequence[float]]) -> bytes:
    """The bundle bytes for a table of named float arrays (the statistical engine's)."""
    return encode_sections({name: np.asarray(values, np.float32).reshape(-1) for name, values in parameters.items()})


@dataclass(frozen=True)
class Layer:
    """One layer of a learned model, with PyTorch's weight layout (engine/src/network.hpp)."""

    kind: str  # "dense" | "conv1d" | "gru"
    activation: str  # "linear" | "relu" | "tanh" | "sigmoid"
    weights: dict[str, npt.NDArray[np.floating]]  # dense/conv1d: weight, bias; gru: weight_ih, weight_hh, bias_ih, bias_hh


_WEIGHT_NAMES = {
    "dense": ("weight", "bias"),
    "conv1d": ("weight", "bias"),
    "gru": ("weight_ih", "weight_hh", "bias_ih", "bias_hh"),
}
_ACTIVATIONS = ("linear", "relu", "tanh", "sigmoid")


def layer_sections(layers: Sequence[Layer]) -> dict[str, Section]:
    """The "net.<i>.*" sections of a stack of layers; ValueError for a kind, activation or
    weight name the engine does not know. Shapes are the engine's to check."""
    sections: dict[str, Section] = {}
    for i, layer in enumerate(layers):
        names = _WEIGHT_NAMES.get(layer.kind)
        if names is None or layer.activation not in _ACTIVATIONS:
            raise ValueError(f"layer {i}: unknown kind {layer.kind!r} or activation {layer.activation!r}")
        if sorted(layer.weights) != sorted(names):
            raise ValueError(f"layer {i} ({layer.kind}) needs weights {names}, got {sorted(layer.weights)}")
        sections[f"net.{i}.kind"] = layer.kind
        sections[f"net.{i}.activation"] = layer.activation
        for name in names:
            sections[f"net.{i}.{name}"] = np.asarray(layer.weights[name], np.float32)
    return sections


def decode_sections(data: bytes) -> dict[str, npt.NDArray[np.float32] | str]:
    """The sections of format-2 bundle bytes (for inspection; the engine is the one judge
    of validity). ValueError when the bytes are no such bundle."""
    if data[:8] != MAGIC or len(data) < 28 or struct.unpack_from("<I", data, 8)[0] != FORMAT_VERSION:
        raise ValueError("not a format-2 model bundle")
    if zlib.crc32(data[:-4]) != struct.unpack_from("<I", data, len(data) - 4)[0]:
        raise ValueError("the bundle fails its checksum")
    (count,) = struct.unpack_from("<I", data, 12)
    sections: dict[str, npt.NDArray[np.float32] | str] = {}
    offset = 24
    for _ in range(count):
        (length,) = struct.unpack_from("<H", data, offset)
        name = data[offset + 2 : offset + 2 + length].decode("ascii")
        kind, rank = struct.unpack_from("<BB", data, offset + 2 + length)
        offset += 4 + length
        shape = struct.unpack_from(f"<{rank}I", data, offset)
        offset += 4 * rank + 4
        size = int(np.prod(shape)) * (4 if kind == FLOAT32 else 1)
        raw = data[offset : offset + size]
        sections[name] = raw.decode("utf-8") if kind == TEXT else np.frombuffer(raw, "<f4").reshape(shape)
        offset += size
    return sections


def network_cost(sections: Mapping[str, object]) -> tuple[int, int]:
    """(parameters, multiply-adds per 10 ms frame) of a bundle's network."""
    parameters = multiply_adds = 0
    i = 0
    while f"net.{i}.kind" in sections:
        weights = {k: np.asarray(v) for k, v in sections.items() if k.startswith(f"net.{i}.") and not isinstance(v, str)}
        parameters += sum(w.size for w in weights.values())
        multiply_adds += sum(w.size for name, w in weights.items() if "weight" in name)
        i += 1
    return parameters, multiply_adds


def random_layers(seed: int = 0, features: int = 5 * 32 + 4, bands: int = 32, conv: int = 64, hidden: int = 160) -> list[Layer]:
    """The reference shape, conv1d(F->conv, k3, tanh), GRU hidden, GRU hidden,
    dense(hidden->B+1, sigmoid), with random weights as PyTorch initialises them: for
    speed measurements before any training, and for tests."""
    rng = np.random.default_rng(seed)

    def uniform(fan_in: int, *shape: int) -> npt.NDArray[np.float32]:
        bound = 1.0 / np.sqrt(fan_in)
        return rng.uniform(-bound, bound, shape).astype(np.float32)

    def gru(inputs: int) -> Layer:
        return Layer("gru", "linear", {
            "weight_ih": uniform(hidden, 3 * hidden, inputs), "weight_hh": uniform(hidden, 3 * hidden, hidden),
            "bias_ih": uniform(hidden, 3 * hidden), "bias_hh": uniform(hidden, 3 * hidden)})  # fmt: skip

    return [
        Layer("conv1d", "tanh", {"weight": uniform(3 * features, conv, features, 3), "bias": uniform(3 * features, conv)}),
        gru(conv),
        gru(hidden),
        Layer("dense", "sigmoid", {"weight": uniform(hidden, bands + 1, hidden), "bias": uniform(hidden, bands + 1)}),
    ]


def write_learned_bundle(
    path: Path,
    layers: Sequence[Layer],
    metadata: Mapping[str, str],
    *,
    parameters: Mapping[str, Sequence[float]] = DEFAULT_PARAMETERS,
    gain_floor_db: float = LEARNED_GAIN_FLOOR_DB,
) -> Path:
    """Writes a learned model: the statistical front end's parameters, the layers (input:
    the engine's features; output: band gains and the speech probability through a
    sigmoid), the gain floor, and free-form metadata (training command, seed, data
    manifest SHA-256, code commit, corpora ...)."""
    sections: dict[str, Section] = {name: np.asarray(values, np.float32).reshape(-1) for name, values in parameters.items()}
    sections |= layer_sections(layers)
    sections["net.gain_floor_db"] = np.array([gain_floor_db], np.float32)
    sections |= {f"meta.{key}": str(value) for key, value in metadata.items()}
    path = Path(path)
    path.write_bytes(encode_sections(sections))
    return path


def register_model(model_id: str, version: str, path: Path, *, models_dir: Path = MODELS_DIR) -> None:
    """Adds or replaces `model_id`'s entry (file, sha256) in models_dir/index.json; the
    bundle must lie in models_dir."""
    path = Path(path).resolve()
    if path.parent != Path(models_dir).resolve():
        raise ValueError(f"{path} is not in {models_dir}")
    index_path = Path(models_dir) / "index.json"
    index = json.loads(index_path.read_text()) if index_path.exists() else {"models": []}
    entry = {"id": model_id, "version": version, "file": path.name,
             "sha256": hashlib.sha256(path.read_bytes()).hexdigest()}  # fmt: skip
    models = index["models"]
    positions = [i for i, model in enumerate(models) if model.get("id") == model_id]
    if positions:
        models[positions[0]] = entry
    else:
        models.append(entry)
    index_path.write_text(json.dumps(index, indent=2) + "\n")


def write_classic_bundle() -> Path:
    """The statistical engine's bundle, packaged under its own id."""
    path = MODELS_DIR / f"{CLASSIC_MODEL_ID}.bin"
    path.write_bytes(encode_bundle(DEFAULT_PARAMETERS))
    register_model(CLASSIC_MODEL_ID, CLASSIC_VERSION, path)
    return path


if __name__ == "__main__":
    import argparse

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--random-learned", type=Path, metavar="PATH",
                        help="write a learned bundle of the reference shape with random weights to PATH instead")  # fmt: skip
    arguments = parser.parse_args()
    if arguments.random_learned:
        print(write_learned_bundle(arguments.random_learned, random_layers(), {"weights": "random, seed 0"}))
    else:
        print(write_classic_bundle())
