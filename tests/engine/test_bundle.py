"""Model bundles: the packaged one loads and is indexed; damaged ones give no model."""

from __future__ import annotations

import hashlib
import json
import struct
import zlib
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import numpy as np
import pytest

from tests.engine.engine_api import BUNDLE_PATH, Engine


def write(tmp_path: Path, data: bytes, name: str = "bundle.bin") -> Path:
    path = tmp_path / name
    path.write_bytes(data)
    return path


def with_checksum(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


def header(version: int, entries: int, payload: bytes) -> bytes:
    return b"ORLUNEMB" + struct.pack("<IIQ", version, entries, len(payload))


def entry(name: str, values: list[float], count: int | None = None) -> bytes:
    encoded = name.encode()
    return (struct.pack("<H", len(encoded)) + encoded
            + struct.pack("<I", len(values) if count is None else count)
            + struct.pack(f"<{len(values)}f", *values))


def test_packaged_bundles_are_the_generated_ones_and_their_index_entries_match(make_bundle: ModuleType) -> None:
    # The statistical bundle is the encoder's output; the default is the learned model's copy.
    models = BUNDLE_PATH.parent
    index = {m["id"]: m for m in json.loads((models / "index.json").read_text())["models"]}
    assert BUNDLE_PATH.read_bytes() == make_bundle.encode_bundle(make_bundle.DEFAULT_PARAMETERS)
    assert (models / "orlune-nc-default.bin").read_bytes() == (models / "orlune-nc-learned.bin").read_bytes()
    assert index["orlune-nc-default"]["version"] == index["orlune-nc-learned"]["version"]
    for model in index.values():
        assert model["sha256"] == hashlib.sha256((models / model["file"]).read_bytes()).hexdigest()


def test_a_re_encoded_default_bundle_loads(engine: Engine, make_bundle: ModuleType, tmp_path: Path) -> None:
    path = write(tmp_path, make_bundle.encode_bundle(make_bundle.DEFAULT_PARAMETERS))
    with engine.model(path):
        pass


def test_every_truncation_gives_no_model(engine: Engine, tmp_path: Path) -> None:
    data = BUNDLE_PATH.read_bytes()
    for length in range(len(data)):
        assert engine.load(write(tmp_path, data[:length])) is None, f"loaded {length} bytes"


def test_every_flipped_bit_gives_no_model(engine: Engine, tmp_path: Path) -> None:
    data = BUNDLE_PATH.read_bytes()
    for position in range(len(data)):
        damaged = bytearray(data)
        damaged[position] ^= 1 << (position % 8)
        assert engine.load(write(tmp_path, bytes(damaged))) is None, f"loaded with byte {position} flipped"


def _rebuilt(make_bundle: ModuleType, change: Callable[[dict[str, list[float]]], object]) -> bytes:
    parameters = {name: list(values) for name, values in make_bundle.DEFAULT_PARAMETERS.items()}
    change(parameters)
    data: bytes = make_bundle.encode_bundle(parameters)
    return data


def _first(parameters: dict[str, list[float]]) -> str:
    return next(iter(parameters))


TABLE_DAMAGE: dict[str, Callable[[dict[str, list[float]]], object]] = {
    "entry missing": lambda p: p.pop(_first(p)),
    "two values for one": lambda p: p.__setitem__(_first(p), [*p[_first(p)], 1.0]),
    "no values": lambda p: p.__setitem__(_first(p), []),
    "unknown entry": lambda p: p.__setitem__("gain.unknown", [1.0]),
    "out of range": lambda p: p.__setitem__("stft.window_hops", [9.0]),
    "fractional count": lambda p: p.__setitem__("stft.window_hops", [2.5]),
    "not finite": lambda p: p.__setitem__("gain.floor_db", [float("nan")]),
}


@pytest.mark.parametrize("damage", TABLE_DAMAGE.values(), ids=TABLE_DAMAGE.keys())
def test_well_formed_bundles_with_a_wrong_table_give_no_model(
    engine: Engine, make_bundle: ModuleType, tmp_path: Path, damage: Callable[[dict[str, list[float]]], object]
) -> None:
    assert engine.load(write(tmp_path, _rebuilt(make_bundle, damage))) is None


CONTAINER_DAMAGE: dict[str, bytes] = {
    "other version": with_checksum(header(3, 1, entry("gain.floor_db", [-20.0])) + entry("gain.floor_db", [-20.0])),
    "version zero": with_checksum(header(0, 1, entry("gain.floor_db", [-20.0])) + entry("gain.floor_db", [-20.0])),
    "huge value count": with_checksum(
        header(1, 1, entry("gain.floor_db", [-20.0], count=0xFFFFFFFF)) + entry("gain.floor_db", [-20.0], count=0xFFFFFFFF)
    ),
    "huge entry count": with_checksum(header(1, 0xFFFFFFFF, entry("a", [1.0])) + entry("a", [1.0])),
    "payload size too large": with_checksum(b"ORLUNEMB" + struct.pack("<IIQ", 1, 1, 2**63) + entry("a", [1.0])),
    "payload size too small": with_checksum(b"ORLUNEMB" + struct.pack("<IIQ", 1, 1, 3) + entry("a", [1.0])),
    "zero-length name": with_checksum(header(1, 1, entry("", [1.0])) + entry("", [1.0])),
    "bad magic": with_checksum(b"ORLUNEMX" + struct.pack("<IIQ", 1, 0, 0)),
    "empty file": b"",
}


@pytest.mark.parametrize("data", CONTAINER_DAMAGE.values(), ids=CONTAINER_DAMAGE.keys())
def test_malformed_containers_give_no_model(engine: Engine, tmp_path: Path, data: bytes) -> None:
    assert engine.load(write(tmp_path, data)) is None


def section(name: str, kind: int, shape: list[int], data: bytes, crc: int | None = None) -> bytes:
    encoded = name.encode()
    return (struct.pack("<H", len(encoded)) + encoded + struct.pack(f"<BB{len(shape)}I", kind, len(shape), *shape)
            + struct.pack("<I", zlib.crc32(data) if crc is None else crc) + data)  # fmt: skip


def sectioned(*sections: bytes) -> bytes:
    payload = b"".join(sections)
    return with_checksum(header(2, len(sections), payload) + payload)


ONE = struct.pack("<f", -20.0)
SECTION_DAMAGE: dict[str, bytes] = {
    "section checksum": sectioned(section("gain.floor_db", 1, [1], ONE, crc=zlib.crc32(ONE) ^ 1)),
    "unknown type": sectioned(section("gain.floor_db", 3, [1], ONE)),
    "rank 0": sectioned(section("gain.floor_db", 1, [], b"")),
    "rank 5": sectioned(section("gain.floor_db", 1, [1, 1, 1, 1, 1], ONE)),
    "text of rank 2": sectioned(section("meta.x", 2, [1, 4], b"abcd")),
    "shape beyond the data": sectioned(section("gain.floor_db", 1, [2], ONE)),
    "shape product overflowing": sectioned(section("gain.floor_db", 1, [2**31, 2**31, 4], ONE)),
    "shape with data left over": sectioned(section("gain.floor_db", 1, [1], ONE + ONE)),
    "infinite value": sectioned(section("gain.floor_db", 1, [1], struct.pack("<f", float("inf")))),
    "duplicate name": sectioned(section("meta.x", 2, [1], b"a"), section("meta.x", 2, [1], b"b")),
}


@pytest.mark.parametrize("data", SECTION_DAMAGE.values(), ids=SECTION_DAMAGE.keys())
def test_malformed_sections_give_no_model(engine: Engine, tmp_path: Path, data: bytes) -> None:
    assert engine.load(write(tmp_path, data)) is None


def test_a_bundle_of_the_first_format_still_loads(engine: Engine, make_bundle: ModuleType, tmp_path: Path) -> None:
    payload = b"".join(entry(name, list(values)) for name, values in make_bundle.DEFAULT_PARAMETERS.items())
    legacy = write(tmp_path, with_checksum(header(1, len(make_bundle.DEFAULT_PARAMETERS), payload) + payload))
    signal = np.sin(np.arange(16000, dtype=np.float32) * 0.1) + np.float32(0.1)
    outputs = []
    for path in (legacy, BUNDLE_PATH):
        with engine.session(16000, 12.0, bundle=path) as session:
            outputs.append(session.process(signal)[0])
    np.testing.assert_array_equal(outputs[0], outputs[1])


def test_paths_that_are_not_bundle_files_give_no_model(engine: Engine, tmp_path: Path) -> None:
    assert engine.load(tmp_path / "missing.bin") is None
    assert engine.load(tmp_path) is None
    assert engine.model_load_from_path(None) is None
