"""Steers and inspects the instrumented test engine from inside a child interpreter.

The child has a copy of the `orlune` package whose resources/lib holds the test
engine. Loading that file again with ctypes gives the very library the binding
loads (the dynamic loader shares it), so settings made here reach the binding's
engine calls and everything it does shows up in the engine's log and counters.
"""

from __future__ import annotations

import ctypes
import importlib.util
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

if TYPE_CHECKING:
    from orlune._orlune_nc import OrluneNC

# Generous failsafes: a gated frame or a wait gives up after this long, so a
# binding that holds the GIL makes its test fail instead of hanging.
GATE_TIMEOUT_MS = 10_000


def package_dir() -> Path:
    """The `orlune` package the child imports, found without importing it."""
    spec = importlib.util.find_spec("orlune")
    assert spec is not None and spec.submodule_search_locations is not None
    return Path(next(iter(spec.submodule_search_locations))).resolve()


LIBRARY = package_dir() / "resources" / "lib" / "liborlune_nc.so"
MODEL = package_dir() / "resources" / "models" / "orlune-nc-default.bin"


class Call(NamedTuple):
    """One logged engine call: its base name and its key=value fields."""

    name: str
    fields: dict[str, str]

    def handle(self, key: str) -> int:
        return int(self.fields[key])


class InstrumentedEngine:
    """ctypes front of the testengine_* control functions."""

    def __init__(self, path: Path = LIBRARY) -> None:
        lib = ctypes.CDLL(str(path))
        signatures: dict[str, tuple[list[type], type | None]] = {
            "testengine_reset": ([], None),
            "testengine_fail_model_loads": ([ctypes.c_int], None),
            "testengine_fail_session_creates": ([ctypes.c_int], None),
            "testengine_force_frame_length": ([ctypes.c_size_t], None),
            "testengine_output_identity": ([], None),
            "testengine_output_scale": ([ctypes.c_float], None),
            "testengine_output_values": ([ctypes.POINTER(ctypes.c_float), ctypes.c_size_t], None),
            "testengine_set_speech_probability": ([ctypes.c_float], None),
            "testengine_gate_close": ([ctypes.c_int], None),
            "testengine_gate_open": ([], None),
            "testengine_gate_wait_for_waiting": ([ctypes.c_int, ctypes.c_int], ctypes.c_int),
            "testengine_read_log": ([ctypes.c_char_p, ctypes.c_size_t], ctypes.c_size_t),
            "testengine_last_input": (
                [ctypes.POINTER(ctypes.c_float), ctypes.c_size_t],
                ctypes.c_size_t,
            ),
            "testengine_counter": ([ctypes.c_char_p], ctypes.c_longlong),
        }
        for name, (argtypes, restype) in signatures.items():
            function = getattr(lib, name)
            function.argtypes = argtypes
            function.restype = restype
        self._lib = lib

    def reset(self) -> None:
        self._lib.testengine_reset()

    def fail_model_loads(self, count: int = -1) -> None:
        self._lib.testengine_fail_model_loads(count)

    def fail_session_creates(self, count: int = -1) -> None:
        self._lib.testengine_fail_session_creates(count)

    def force_frame_length(self, frame_length: int) -> None:
        self._lib.testengine_force_frame_length(frame_length)

    def output_identity(self) -> None:
        self._lib.testengine_output_identity()

    def output_scale(self, factor: float) -> None:
        self._lib.testengine_output_scale(factor)

    def output_values(self, values: Sequence[float]) -> None:
        table = np.ascontiguousarray(values, dtype=np.float32)
        self._lib.testengine_output_values(
            table.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), table.size
        )

    def set_speech_probability(self, probability: float) -> None:
        self._lib.testengine_set_speech_probability(probability)

    def gate_close(self) -> None:
        self._lib.testengine_gate_close(GATE_TIMEOUT_MS)

    def gate_open(self) -> None:
        self._lib.testengine_gate_open()

    def wait_for_waiting(self, count: int) -> bool:
        """Blocks (without the GIL) until `count` frames wait at the gate."""
        return bool(self._lib.testengine_gate_wait_for_waiting(count, GATE_TIMEOUT_MS))

    def counter(self, name: str) -> int:
        value = int(self._lib.testengine_counter(name.encode()))
        if value < 0:
            raise KeyError(name)
        return value

    def log(self) -> str:
        while True:
            size = int(self._lib.testengine_read_log(None, 0))
            buffer = ctypes.create_string_buffer(size + 1)
            if int(self._lib.testengine_read_log(buffer, size + 1)) == size:
                return buffer.value.decode()

    def calls(self, *names: str) -> list[Call]:
        """Logged calls in order, only those of the given base names when any are given."""
        result = []
        for line in self.log().splitlines():
            name, *fields = line.split("\t")
            if not names or name in names:
                result.append(Call(name, dict(field.split("=", 1) for field in fields)))
        return result

    def names(self) -> list[str]:
        """Base names of the logged calls, in order."""
        return [call.name for call in self.calls()]

    def last_input(self) -> np.ndarray:
        size = int(self._lib.testengine_last_input(None, 0))
        frame = np.empty(size, dtype=np.float32)
        self._lib.testengine_last_input(frame.ctypes.data_as(ctypes.POINTER(ctypes.c_float)), size)
        return frame


def open_session(sample_rate: int = 48000, attenuation_limit_db: float = 100.0) -> OrluneNC:
    from orlune._orlune_nc import OrluneNC

    return OrluneNC(
        sample_rate=sample_rate, attenuation_limit_db=attenuation_limit_db, model_path=MODEL
    )


def expect_error(
    kind: type[BaseException] | tuple[type[BaseException], ...],
    function: Any,
    /,
    *args: Any,
    message: str | None = None,
    **kwargs: Any,
) -> BaseException:
    """Calls `function` and returns the error of `kind` it must raise (with `message`, if given)."""
    try:
        function(*args, **kwargs)
    except kind as error:
        assert message is None or str(error) == message, f"{error!r}, expected message {message!r}"
        return error
    raise AssertionError(f"{function!r} did not raise {kind!r}")
