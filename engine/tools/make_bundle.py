#!/usr/bin/env python3
"""Writes the default model bundle and its entry in the packaged index.

Run after changing a parameter:  python engine/tools/make_bundle.py
"""

from __future__ import annotations

import hashlib
import json
import struct
import zlib
from collections.abc import Mapping, Sequence
from pathlib import Path

MAGIC = b"ORLUNEMB"
FORMAT_VERSION = 1
MODEL_ID = "orlune-nc-default"
MODEL_VERSION = "1"

ROOT = Path(__file__).resolve().parents[2]
MODELS_DIR = ROOT / "src" / "orlune" / "resources" / "models"

# Every tunable of the engine; names are looked up by the engine's Model loader.
DEFAULT_PARAMETERS: dict[str, Sequence[float]] = {
    "gain.floor_db": [-100.0],
}


def encode_bundle(parameters: Mapping[str, Sequence[float]]) -> bytes:
    """The bundle bytes for a table of named float arrays."""
    payload = bytearray()
    for name, values in parameters.items():
        encoded = name.encode("ascii")
        payload += struct.pack("<H", len(encoded)) + encoded
        payload += struct.pack(f"<I{len(values)}f", len(values), *values)
    body = MAGIC + struct.pack("<IIQ", FORMAT_VERSION, len(parameters), len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


def write_default_bundle() -> Path:
    data = encode_bundle(DEFAULT_PARAMETERS)
    file_name = f"{MODEL_ID}.bin"
    (MODELS_DIR / file_name).write_bytes(data)
    index = {
        "models": [
            {
                "id": MODEL_ID,
                "version": MODEL_VERSION,
                "file": file_name,
                "sha256": hashlib.sha256(data).hexdigest(),
            }
        ]
    }
    (MODELS_DIR / "index.json").write_text(json.dumps(index, indent=2) + "\n")
    return MODELS_DIR / file_name


if __name__ == "__main__":
    print(write_default_bundle())
