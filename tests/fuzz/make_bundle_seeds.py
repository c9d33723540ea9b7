#!/usr/bin/env python3
"""Writes the bundle fuzzer's seed corpus and dictionary into a directory.

Seeds are valid bundles of several shapes (the packaged default, empty, many
entries, longest names, large arrays) and a few near misses (truncated, wrong
version, huge counts and sizes); libFuzzer mutates from there.

    python tests/fuzz/make_bundle_seeds.py OUT_DIR
"""

from __future__ import annotations

import importlib.util
import struct
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def _encoder() -> object:
    spec = importlib.util.spec_from_file_location("make_bundle", ROOT / "engine/tools/make_bundle.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _resealed(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


def seeds() -> dict[str, bytes]:
    make_bundle = _encoder()
    encode = make_bundle.encode_bundle  # type: ignore[attr-defined]
    default = (ROOT / "src/orlune/resources/models/orlune-nc-default.bin").read_bytes()
    valid = {
        "default": default,
        "empty": encode({}),
        "many": encode({f"p{i}": [float(i)] * (i % 5) for i in range(40)}),
        "longest_name": encode({"n" * 64: [1.0, -2.0], "m" * 63: []}),
        "large_array": encode({"gain.floor_db": [-100.0], "table": [0.25] * 900}),
    }
    body = default[:-4]
    header = bytearray(body[:24])
    near_misses = {
        "truncated": default[: len(default) // 2],
        "version_2": _resealed(body[:8] + struct.pack("<I", 2) + body[12:]),
        "huge_count": _resealed(body[:12] + struct.pack("<I", 0xFFFFFFFF) + body[16:]),
        "huge_payload": _resealed(bytes(header[:16]) + struct.pack("<Q", 2**63) + body[24:]),
        "huge_values": _resealed(body[:24] + struct.pack("<H", 1) + b"x" + struct.pack("<I", 2**30)),
    }
    return valid | near_misses


DICTIONARY = ['"ORLUNEMB"', '"gain.floor_db"', '"\\x01\\x00\\x00\\x00"', '"\\xff\\xff\\xff\\xff"',
              '"\\x00\\x00\\xc0\\x7f"', '"\\x00\\x00\\x80\\x7f"']  # fmt: skip


def main(out_dir: Path) -> None:
    corpus = out_dir / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    for name, data in seeds().items():
        (corpus / name).write_bytes(data)
    (out_dir / "bundle.dict").write_text("\n".join(DICTIONARY) + "\n")


if __name__ == "__main__":
    main(Path(sys.argv[1]))
