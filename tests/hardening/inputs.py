"""Hypothesis strategies for what a caller may hand the audio entry points.

Arrays come in every dtype NumPy has, both byte orders, 0 to 3 dimensions,
lengths around the engine's block length N (0, 1, N-1, N, N+1, several N),
forward, reversed and strided views, unaligned and read-only buffers, and
broadcast (stride 0) views. Besides arrays there are plain Python objects and
objects that only pretend to be arrays.
"""

from __future__ import annotations

import array
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from numpy.typing import NDArray

DTYPES = [np.dtype(code) for code in (
    "?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g",
    "c8", "c16", "M8[ms]", "m8[ms]", "U2", "S2", "O", "V2",
)] + [np.dtype([("left", "<i2")])]  # fmt: skip

# Enough examples to meet every dtype, layout and length several times over.
FUZZ_SETTINGS = settings(
    derandomize=True,
    deadline=None,
    database=None,
    max_examples=150,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


@dataclass
class Layout:
    """How a drawn array sits in memory (for reading failures)."""

    step: int
    unaligned: bool
    read_only: bool
    broadcast: bool


def _values(rng: np.random.Generator, dtype: np.dtype[Any], count: int) -> NDArray[Any]:
    """`count` values of `dtype` in native byte order, including edge values."""
    native = dtype.newbyteorder("=") if dtype.byteorder not in "|=" else dtype
    if dtype.kind in "iu":
        info = np.iinfo(native)
        values = rng.integers(info.min, info.max, size=count, endpoint=True, dtype=native)
        values[: min(count, 2)] = (info.min, info.max)[: min(count, 2)]
        return values
    if dtype.kind == "f":
        values = rng.uniform(-1.5, 1.5, size=count).astype(native)
        special = np.array([np.nan, np.inf, -np.inf, 1.0, -1.0], dtype=native)
        positions = rng.integers(0, max(count, 1), size=min(count, 3))
        values[positions] = special[rng.integers(0, special.size, size=positions.size)]
        return values
    raw = rng.integers(0, 256, size=count * native.itemsize, dtype=np.uint8)
    if dtype.kind == "b":
        return (raw[:count] % 2).astype(bool)
    if dtype.kind == "O":
        return np.array([int(v) for v in raw[:count]], dtype=object)
    if dtype.kind == "U":
        return np.array([chr(65 + v % 26) * 2 for v in raw[:count]], dtype=native)
    return raw.view(native) if native.itemsize else np.zeros(count, native)


@st.composite
def arrays(
    draw: st.DrawFn,
    frame_length: int,
    shapes: Callable[[int], st.SearchStrategy[tuple[int, ...]]],
    dtypes: Sequence[np.dtype[Any]] = DTYPES,
) -> tuple[NDArray[Any], Layout]:
    """An array and its layout; `shapes(length)` turns a drawn length into a shape."""
    dtype = draw(st.sampled_from(dtypes))
    if dtype.itemsize > 1 and dtype.kind not in "OV" and draw(st.booleans()):
        dtype = dtype.newbyteorder()
    n = frame_length
    length = draw(st.sampled_from([0, 1, n - 1, n, n + 1, 2 * n, 5 * n]))
    shape = draw(shapes(length))
    count = int(np.prod(shape))
    layout = Layout(
        step=draw(st.sampled_from([1, 1, -1, 2, -3])),
        unaligned=dtype.kind not in "O" and draw(st.booleans()),
        read_only=draw(st.booleans()),
        broadcast=count > 0 and draw(st.integers(0, 9)) == 0,
    )
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    if layout.broadcast:
        result = np.broadcast_to(_values(rng, dtype, 1).astype(dtype).reshape(()), shape)
        return result, layout
    flat = _values(rng, dtype, count * abs(layout.step)).astype(dtype)
    if layout.unaligned:
        buffer = bytearray(flat.nbytes + 1)
        flat = np.frombuffer(buffer, dtype=dtype, offset=1, count=flat.size)
        flat[...] = _values(rng, dtype, flat.size).astype(dtype)
    result = flat[:: layout.step][:count].reshape(shape) if count else flat[:0].reshape(shape)
    if layout.read_only:
        result.flags.writeable = False
    return result, layout


def block_shapes(length: int) -> st.SearchStrategy[tuple[int, ...]]:
    """Shapes holding `length` elements (or one, for 0-d) as 0-d, 1-D, 2-D or 3-D."""
    options: list[tuple[int, ...]] = [(length,), (length,), (length, 1), (1, length)]
    if length % 2 == 0:
        options += [(length // 2, 2), (2, length // 2), (1, length // 2, 2)]
    return st.sampled_from([*options, ()])


def audio_shapes(length: int) -> st.SearchStrategy[tuple[int, ...]]:
    """Audio layouts: mono (n,), (n, channels) with 1 to 3 channels, and shapes
    that are not audio (0-d, 3-D, no channels)."""
    return st.sampled_from(
        [(length,), (length,), (length, 1), (length, 2), (length, 3), (length, 0), (), (length, 1, 1)]
    )


class PretendArray:
    """Carries `dtype` and `size` like an array, and nothing else an array has."""

    def __init__(self, dtype: object, size: object) -> None:
        self.dtype = dtype
        self.size = size


class RaisingDtype:
    @property
    def dtype(self) -> object:
        raise LookupError("no dtype today")


class ArrayLike:
    """Converts to an int16 array through __array__, but is not one."""

    def __init__(self, length: int) -> None:
        self.samples = np.arange(length, dtype=np.int16)
        self.dtype = self.samples.dtype
        self.size = self.samples.size

    def __array__(self, dtype: object = None, copy: object = None) -> NDArray[Any]:
        return self.samples if dtype is None else self.samples.astype(dtype)

    def __getitem__(self, index: Any) -> Any:
        return self.samples[index]


# Factories of objects that are not ndarrays, by name (short names keep
# Hypothesis's reports readable), each given the block length N.
PLAIN_OBJECTS: dict[str, Callable[[int], object]] = {
    "None": lambda n: None,
    "int": lambda n: 0,
    "float": lambda n: 1.5,
    "str": lambda n: "samples",
    "bytes": lambda n: b"\x00\x01" * n,
    "list": lambda n: [0] * n,
    "nested_list": lambda n: [[0] * n],
    "tuple": lambda n: (0,) * n,
    "dict": lambda n: {},
    "object": lambda n: object(),
    "memoryview": lambda n: memoryview(bytes(2 * n)),
    "bytearray": lambda n: bytearray(2 * n),
    "array.array": lambda n: array.array("h", [0] * n),
    "pretend": lambda n: PretendArray(np.int16, n),
    "pretend_huge_size": lambda n: PretendArray(np.int16, 2**80),
    "pretend_negative_size": lambda n: PretendArray(np.int16, -n),
    "pretend_float_size": lambda n: PretendArray(np.int16, 1.5 * n),
    "pretend_str_size": lambda n: PretendArray(np.int16, "n"),
    "pretend_str_dtype": lambda n: PretendArray("int16", n),
    "pretend_float32": lambda n: PretendArray(np.float32, n),
    "raising_dtype": lambda n: RaisingDtype(),
    "array_like": ArrayLike,
    "array_like_long": lambda n: ArrayLike(n + 1),
    "int16_scalar": lambda n: np.int16(3),
    "masked_array": lambda n: np.ma.masked_array(np.arange(n, dtype=np.int16)),
}


def plain_objects(frame_length: int) -> st.SearchStrategy[object]:
    names = st.sampled_from(sorted(PLAIN_OBJECTS))
    return names.map(lambda name: PLAIN_OBJECTS[name](frame_length))


def snapshot(value: object) -> object:
    """What must be unchanged after a call: an array's bytes, dtype and shape."""
    if isinstance(value, np.ndarray):
        return (value.dtype, value.shape, value.tobytes(), value.flags.writeable)
    return None
