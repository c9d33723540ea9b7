"""The learned network: its layers against PyTorch, and the bundles that carry it."""

from __future__ import annotations

import ctypes
import hashlib
import json
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

from tests.engine import learned_bundles
from tests.engine.engine_api import Engine
from tests.engine.learned_bundles import FEATURES, OUTPUTS

# (kind, outputs, activation, taps) per layer.
ARCHITECTURES = {
    "conv-gru-gru-dense": [("conv1d", 64, "tanh", 3), ("gru", 128, "linear", 1), ("gru", 128, "linear", 1),
                           ("dense", OUTPUTS, "sigmoid", 1)],
    "dense-relu-tanh": [("dense", 48, "relu", 1), ("dense", 37, "tanh", 1), ("dense", OUTPUTS, "sigmoid", 1)],
    "odd-widths": [("conv1d", 21, "linear", 5), ("gru", 7, "linear", 1), ("conv1d", 9, "relu", 1),
                   ("conv1d", OUTPUTS, "sigmoid", 2)],
}  # fmt: skip

# Outputs (in [0, 1]) agree with PyTorch's in float64 to this; at these weight scales (sums
# of hundreds of terms of magnitude up to a few units) PyTorch's own float32 result is up
# to 1.8e-4 away from its float64 one, the engine's up to 6.2e-5.
TOLERANCE = 1e-4


def torch_network(architecture: list[tuple[str, int, str, int]], seed: int) -> tuple[object, list]:
    """PyTorch modules with default random weights, and the same weights as make_bundle layers."""
    torch = pytest.importorskip("torch")
    torch.manual_seed(seed)
    modules, width = [], FEATURES
    for kind, outputs, activation, taps in architecture:
        module = {"dense": lambda: torch.nn.Linear(width, outputs),
                  "conv1d": lambda: torch.nn.Conv1d(width, outputs, taps),
                  "gru": lambda: torch.nn.GRU(width, outputs, batch_first=True)}[kind]()  # fmt: skip
        for parameter in module.parameters():  # wider than the default, to reach saturation
            torch.nn.init.uniform_(parameter, -0.6, 0.6)
        modules.append((kind, activation, taps, module.double()))
        width = outputs
    return torch, modules


def torch_forward(torch: object, modules: list, features: np.ndarray) -> np.ndarray:
    x = torch.from_numpy(features.astype(np.float64))  # [time, features]
    with torch.no_grad():
        for kind, activation, taps, module in modules:
            if kind == "dense":
                x = module(x)
            elif kind == "gru":
                x = module(x[None])[0][0]
            else:  # causal: pad the past with zeros
                x = module(torch.nn.functional.pad(x.T[None], (taps - 1, 0)))[0].T
            x = {"linear": lambda v: v, "relu": torch.relu, "tanh": torch.tanh, "sigmoid": torch.sigmoid}[activation](x)
    return x.numpy()


def as_layers(make_bundle: ModuleType, modules: list) -> list:
    layers = []
    for kind, activation, _, module in modules:
        names = {"gru": {"weight_ih_l0": "weight_ih", "weight_hh_l0": "weight_hh", "bias_ih_l0": "bias_ih",
                         "bias_hh_l0": "bias_hh"}}.get(kind, {"weight": "weight", "bias": "bias"})  # fmt: skip
        weights = {names[name]: value.detach().numpy().astype(np.float32) for name, value in module.state_dict().items()}
        layers.append(make_bundle.Layer(kind, activation, weights))
    return layers


@pytest.mark.parametrize("architecture", ARCHITECTURES.values(), ids=ARCHITECTURES.keys())
def test_layers_compute_what_pytorch_computes(
    engine: Engine, make_bundle: ModuleType, tmp_path: Path, architecture: list
) -> None:
    torch, modules = torch_network(architecture, seed=len(architecture))
    path = learned_bundles.write(make_bundle, tmp_path / "net.bin", as_layers(make_bundle, modules))
    rng = np.random.default_rng(11)
    # Features of the engine's own ranges: logs far from zero, probabilities.
    features = (rng.standard_normal((80, FEATURES)) * 3.0 - rng.uniform(0, 8, FEATURES)).astype(np.float32)
    expected = torch_forward(torch, modules, features)
    with engine.model(path) as model:
        first = engine.infer(model, features)
        again = engine.infer(model, features)
    assert first.shape == expected.shape == (80, OUTPUTS)
    np.testing.assert_allclose(first, expected, rtol=0, atol=TOLERANCE)
    np.testing.assert_array_equal(first, again)
    assert np.ptp(expected) > 0.5, "the comparison should cover much of the sigmoid's range"


def test_infer_needs_a_network_and_its_arguments(engine: Engine, make_bundle: ModuleType, tmp_path: Path) -> None:
    path = learned_bundles.write(make_bundle, tmp_path / "net.bin", learned_bundles.constant_layers(make_bundle, 0.25, 0.75))
    features = np.zeros((3, FEATURES), np.float32)
    outputs = np.zeros((3, OUTPUTS), np.float32)
    pointer = features.ctypes.data_as(ctypes.POINTER(ctypes.c_float))
    out_pointer = outputs.ctypes.data_as(ctypes.POINTER(ctypes.c_float))
    with engine.model(path) as model:
        np.testing.assert_allclose(engine.infer(model, features)[:, :-1], 0.25, rtol=1e-6)
        np.testing.assert_allclose(engine.infer(model, features)[:, -1], 0.75, rtol=1e-6)
        assert engine._infer(model, None, 3, out_pointer) == 0
        assert engine._infer(model, pointer, 3, None) == 0
    with engine.model() as classic:
        assert engine._infer(classic, pointer, 3, out_pointer) == 0
    assert not np.any(outputs)


def _reference_sections(make_bundle: ModuleType) -> dict:
    sections = {name: np.asarray(values, np.float32) for name, values in make_bundle.DEFAULT_PARAMETERS.items()}
    sections |= make_bundle.layer_sections(learned_bundles.random_layers(make_bundle))
    sections["net.gain_floor_db"] = np.array([-60.0], np.float32)
    return sections


def _reshaped(name: str, axis: int, change: int = 1) -> object:
    def damage(sections: dict) -> None:
        shape = list(sections[name].shape)
        shape[axis] += change
        sections[name] = np.zeros(shape, np.float32)
    return damage


NETWORK_DAMAGE = {
    "conv weight: one output more": _reshaped("net.0.weight", 0),
    "conv weight: one input fewer": _reshaped("net.0.weight", 1, -1),
    "conv weight: no taps": _reshaped("net.0.weight", 2, -3),
    "conv bias: one more": _reshaped("net.0.bias", 0),
    "gru input weights: gates not a multiple of 3": _reshaped("net.1.weight_ih", 0),
    "gru hidden weights: one column more": _reshaped("net.1.weight_hh", 1),
    "gru hidden bias: one fewer": _reshaped("net.2.bias_hh", 0, -1),
    "dense: B outputs, no probability": lambda s: s.update({"net.3.weight": s["net.3.weight"][:-1], "net.3.bias": s["net.3.bias"][:-1]}),
    "dense weight flattened": lambda s: s.update({"net.3.weight": s["net.3.weight"].reshape(-1)}),
    "weights missing": lambda s: s.pop("net.2.weight_ih"),
    "kind missing": lambda s: s.pop("net.1.kind"),
    "a layer skipped": lambda s: s.update({"net.5.kind": "dense", "net.5.activation": "linear"}),
    "unknown kind": lambda s: s.update({"net.3.kind": "lstm"}),
    "unknown activation": lambda s: s.update({"net.0.activation": "gelu"}),
    "kind as floats": lambda s: s.update({"net.0.kind": np.zeros(4, np.float32)}),
    "gru with an activation": lambda s: s.update({"net.1.activation": "tanh"}),
    "last layer not a sigmoid": lambda s: s.update({"net.3.activation": "linear"}),
    "unknown network section": lambda s: s.update({"net.3.scale": np.ones(1, np.float32)}),
    "floor missing": lambda s: s.pop("net.gain_floor_db"),
    "floor above 0 dB": lambda s: s.update({"net.gain_floor_db": np.array([3.0], np.float32)}),
    "statistical parameter missing": lambda s: s.pop("gain.floor_db"),
}  # fmt: skip


def test_a_learned_bundle_loads_and_its_sections_can_be_reordered(
    engine: Engine, make_bundle: ModuleType, tmp_path: Path
) -> None:
    sections = _reference_sections(make_bundle) | {"meta.seed": "5", "meta.note": "ünïcode"}
    for order, items in enumerate([sections.items(), reversed(sections.items())]):
        path = tmp_path / f"{order}.bin"
        path.write_bytes(make_bundle.encode_sections(dict(items)))
        with engine.model(path):
            pass


@pytest.mark.parametrize("damage", NETWORK_DAMAGE.values(), ids=NETWORK_DAMAGE.keys())
def test_a_network_with_missing_or_misshapen_weights_gives_no_model(
    engine: Engine, make_bundle: ModuleType, tmp_path: Path, damage: object
) -> None:
    sections = _reference_sections(make_bundle)
    damage(sections)  # type: ignore[operator]
    path = tmp_path / "damaged.bin"
    path.write_bytes(make_bundle.encode_sections(sections))
    assert engine.load(path) is None


def test_truncated_learned_bundles_give_no_model(engine: Engine, make_bundle: ModuleType, tmp_path: Path) -> None:
    data = make_bundle.encode_sections(_reference_sections(make_bundle))
    path = tmp_path / "truncated.bin"
    for length in [*range(0, 200, 7), *range(200, len(data), 4099), len(data) - 4, len(data) - 1]:
        path.write_bytes(data[:length])
        assert engine.load(path) is None, f"loaded {length} of {len(data)} bytes"


def test_the_writer_refuses_what_it_cannot_describe(make_bundle: ModuleType, tmp_path: Path) -> None:
    weights = {"weight": np.zeros((OUTPUTS, FEATURES)), "bias": np.zeros(OUTPUTS)}
    for layer in [make_bundle.Layer("lstm", "sigmoid", weights), make_bundle.Layer("dense", "softmax", weights),
                  make_bundle.Layer("gru", "linear", weights)]:  # fmt: skip
        with pytest.raises(ValueError):
            make_bundle.write_learned_bundle(tmp_path / "x.bin", [layer], {})
    with pytest.raises(ValueError):
        make_bundle.encode_sections({"scalar": np.float32(1.0)})


def test_register_model_adds_and_replaces_index_entries(make_bundle: ModuleType, tmp_path: Path) -> None:
    (tmp_path / "index.json").write_text(json.dumps({"models": [{"id": "a", "version": "1", "file": "a.bin", "sha256": "0"}]}))
    bundle = tmp_path / "learned.bin"
    for content, version in [(b"first", "1"), (b"second", "2")]:
        bundle.write_bytes(content)
        make_bundle.register_model("learned", version, bundle, models_dir=tmp_path)
    models = json.loads((tmp_path / "index.json").read_text())["models"]
    assert [m["id"] for m in models] == ["a", "learned"]
    assert models[1] == {"id": "learned", "version": "2", "file": "learned.bin",
                         "sha256": hashlib.sha256(b"second").hexdigest()}  # fmt: skip
    with pytest.raises(ValueError):
        make_bundle.register_model("elsewhere", "1", bundle, models_dir=tmp_path / "other")


def test_decoding_gives_back_every_section(make_bundle: ModuleType) -> None:
    sections = _reference_sections(make_bundle) | {"meta.command": "python -m train --seed 5", "meta.empty": ""}
    decoded = make_bundle.decode_sections(make_bundle.encode_sections(sections))
    assert list(decoded) == list(sections)
    for name, value in sections.items():
        if isinstance(value, str):
            assert decoded[name] == value
        else:
            assert decoded[name].shape == value.shape
            np.testing.assert_array_equal(decoded[name], value)
