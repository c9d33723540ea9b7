#!/usr/bin/env python3
"""Writes the bundle fuzzer's seed corpus and dictionary into a directory.

Seeds are valid bundles of several shapes (the statistical engine's, empty, many
entries, longest names, large arrays, text, small learned networks of every
layer kind, the first format) and a few near misses (truncated, wrong version,
huge counts and sizes); libFuzzer mutates from there.

    python tests/fuzz/make_bundle_seeds.py OUT_DIR
"""

from __future__ import annotations

import struct
import sys
import zlib

import numpy as np
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _encoder() -> object:
    sys.path.insert(0, str(ROOT / "engine" / "tools"))
    import make_bundle

    return make_bundle


def _resealed(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


def _legacy(parameters: dict[str, list[float]]) -> bytes:
    payload = b"".join(struct.pack("<H", len(name)) + name.encode() + struct.pack(f"<I{len(values)}f", len(values), *values)
                       for name, values in parameters.items())  # fmt: skip
    return _resealed(b"ORLUNEMB" + struct.pack("<IIQ", 1, len(parameters), len(payload)) + payload)


def _small_network(make_bundle: object) -> dict[str, object]:
    """A network of 4 inputs and 3 outputs (the fuzzer's small sizes) with every layer kind."""
    rng = np.random.default_rng(1)
    layer = make_bundle.Layer  # type: ignore[attr-defined]
    w = lambda *shape: rng.uniform(-1, 1, shape).astype(np.float32)  # noqa: E731
    layers = [
        layer("dense", "relu", {"weight": w(5, 4), "bias": w(5)}),
        layer("gru", "linear", {"weight_ih": w(6, 5), "weight_hh": w(6, 2), "bias_ih": w(6), "bias_hh": w(6)}),
        layer("conv1d", "tanh", {"weight": w(3, 2, 2), "bias": w(3)}),
        layer("dense", "sigmoid", {"weight": w(3, 3), "bias": w(3)}),
    ]
    sections: dict[str, object] = make_bundle.layer_sections(layers)  # type: ignore[attr-defined]
    return sections | {"net.gain_floor_db": np.array([-60.0], np.float32)}


def seeds() -> dict[str, bytes]:
    make_bundle = _encoder()
    encode = make_bundle.encode_bundle  # type: ignore[attr-defined]
    sectioned = make_bundle.encode_sections  # type: ignore[attr-defined]
    parameters = make_bundle.DEFAULT_PARAMETERS  # type: ignore[attr-defined]
    statistical = (ROOT / "src/orlune/resources/models/orlune-nc-classic.bin").read_bytes()
    network = _small_network(make_bundle)
    valid = {
        "statistical": statistical,
        "empty": encode({}),
        "many": encode({f"p{i}": [float(i)] * (i % 5) for i in range(40)}),
        "longest_name": encode({"n" * 64: [1.0, -2.0], "m" * 63: []}),
        "large_array": encode({"gain.floor_db": [-100.0], "table": [0.25] * 900}),
        "ranks": sectioned({"a": np.ones((2, 3), np.float32), "b": np.ones((1, 2, 1, 2), np.float32),
                            "c": np.ones((0, 3), np.float32), "meta.text": "x" * 40, "meta.empty": ""}),
        "small_network": sectioned(network),
        "small_network_with_metadata": sectioned(network | {"meta.seed": "7", "meta.command": "train"}),
        "learned_classic_parameters": sectioned({n: np.asarray(v, np.float32) for n, v in parameters.items()} | network),
        "format_1": _legacy({"gain.floor_db": [-20.0], "table": [1.0, 2.0]}),
    }  # fmt: skip
    body = statistical[:-4]
    header = bytearray(body[:24])
    near_misses = {
        "truncated": statistical[: len(statistical) // 2],
        "version_3": _resealed(body[:8] + struct.pack("<I", 3) + body[12:]),
        "huge_count": _resealed(body[:12] + struct.pack("<I", 0xFFFFFFFF) + body[16:]),
        "huge_payload": _resealed(bytes(header[:16]) + struct.pack("<Q", 2**63) + body[24:]),
        "huge_values": _resealed(body[:24] + struct.pack("<H", 1) + b"x" + struct.pack("<I", 2**30)),
    }
    return valid | near_misses


DICTIONARY = ['"ORLUNEMB"', '"gain.floor_db"', '"\\x01\\x00\\x00\\x00"', '"\\xff\\xff\\xff\\xff"',
              '"\\x00\\x00\\xc0\\x7f"', '"\\x00\\x00\\x80\\x7f"', '"net."', '"meta."', '".kind"',
              '".activation"', '".weight"', '".bias"', '"_ih"', '"_hh"', '"dense"', '"conv1d"', '"gru"',
              '"linear"', '"relu"', '"tanh"', '"sigmoid"', '"net.gain_floor_db"', '"\\x01\\x01"',
              '"\\x02\\x01"', '"\\x01\\x02"', '"\\x01\\x03"']  # fmt: skip


def main(out_dir: Path) -> None:
    corpus = out_dir / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        (corpus / name).write_bytes(data)
    (out_dir / "bundle.dict").write_text("\n".join(DICTIONARY) + "\n")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
