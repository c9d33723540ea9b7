"""The binding's Python face, checked in-process against the installed package.

The native callables must be indistinguishable from the plain Python
definitions below: same annotations, same signatures, same TypeErrors.
"""

from __future__ import annotations

import ctypes
import inspect
import json
import logging
import math
import pathlib
import subprocess
import sys
import threading
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import numpy.typing
import pytest
from engine_harness import run_python
from numpy.typing import NDArray

from orlune import _orlune_nc as native

REFERENCE = sys.modules[__name__]


# --- the reference definitions: what the native ones must look like -----------


def _resolve_file(path: Path, description: str) -> Path:
    raise NotImplementedError


def _declare_api(lib: ctypes.CDLL) -> None:
    raise NotImplementedError


def _load_library(path: Path) -> ctypes.CDLL:
    raise NotImplementedError


class OrluneNC:
    def __init__(self, *, sample_rate: int, attenuation_limit_db: float, model_path: Path) -> None:
        pass

    def process_frame(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        raise NotImplementedError

    def reset(self) -> None:
        pass

    def close(self) -> None:
        pass

    def __del__(self) -> None:
        pass


def blank(api: ModuleType) -> Any:
    """An instance whose constructor never ran (the native one holds nothing)."""
    return api.OrluneNC.__new__(api.OrluneNC)


CALLABLES: dict[str, Callable[[ModuleType], Any]] = {
    "_resolve_file": lambda api: api._resolve_file,
    "_declare_api": lambda api: api._declare_api,
    "_load_library": lambda api: api._load_library,
    "__init__": lambda api: api.OrluneNC.__init__,
    "process_frame": lambda api: api.OrluneNC.process_frame,
    "reset": lambda api: api.OrluneNC.reset,
    "close": lambda api: api.OrluneNC.close,
    "__del__": lambda api: api.OrluneNC.__del__,
}


@pytest.mark.parametrize("get", CALLABLES.values(), ids=CALLABLES.keys())
def test_annotations_are_the_declared_strings_in_parameter_order(
    get: Callable[[ModuleType], Any],
) -> None:
    assert list(get(native).__annotations__.items()) == list(get(REFERENCE).__annotations__.items())


SIGNATURE_TARGETS: dict[str, Callable[[ModuleType], Any]] = {
    **CALLABLES,
    "class": lambda api: api.OrluneNC,
    "bound process_frame": lambda api: blank(api).process_frame,
    "bound close": lambda api: blank(api).close,
}


@pytest.mark.parametrize("get", SIGNATURE_TARGETS.values(), ids=SIGNATURE_TARGETS.keys())
def test_inspect_signature_matches_the_declaration(get: Callable[[ModuleType], Any]) -> None:
    assert str(inspect.signature(get(native))) == str(inspect.signature(get(REFERENCE)))


MISTAKES: dict[str, Callable[[ModuleType], object]] = {
    "resolve_file, nothing": lambda api: api._resolve_file(),
    "resolve_file, one": lambda api: api._resolve_file(Path("a")),
    "resolve_file, three": lambda api: api._resolve_file(Path("a"), "b", "c"),
    "resolve_file, path twice": lambda api: api._resolve_file(Path("a"), "b", path=Path("a")),
    "resolve_file, unknown keyword": lambda api: api._resolve_file(
        Path("a"), description="b", mode="r"
    ),
    "declare_api, nothing": lambda api: api._declare_api(),
    "declare_api, two": lambda api: api._declare_api(None, None),
    "load_library, two": lambda api: api._load_library(Path("a"), Path("b")),
    "load_library, path twice": lambda api: api._load_library(Path("a"), path=Path("a")),
    "constructor, positional": lambda api: api.OrluneNC(48000, 100.0, Path("m")),
    "constructor, nothing": lambda api: api.OrluneNC(),
    "constructor, one keyword": lambda api: api.OrluneNC(sample_rate=48000),
    "constructor, unknown keyword": lambda api: api.OrluneNC(
        sample_rate=48000, attenuation_limit_db=1.0, model_path=Path("m"), threads=2
    ),
    "process_frame, nothing": lambda api: blank(api).process_frame(),
    "process_frame, two": lambda api: blank(api).process_frame(None, None),
    "process_frame, wrong keyword": lambda api: blank(api).process_frame(frame=None),
    "reset, one": lambda api: blank(api).reset(1),
    "close, keyword": lambda api: blank(api).close(now=True),
}


@pytest.mark.parametrize("mistake", MISTAKES.values(), ids=MISTAKES.keys())
def test_argument_mistakes_raise_the_interpreters_own_type_error(
    mistake: Callable[[ModuleType], object],
) -> None:
    with pytest.raises(TypeError) as expected:
        mistake(REFERENCE)
    with pytest.raises(TypeError) as raised:
        mistake(native)
    assert str(raised.value) == str(expected.value)


def test_module_namespace_holds_its_names_in_order() -> None:
    names = [name for name in vars(native) if not name.startswith("__")]
    assert names == [
        "ctypes", "logging", "os", "platform", "threading", "Path", "np", "NDArray", "logger",
        "_LIBRARY_NAMES", "_LIBRARY_CACHE", "_LIBRARY_CACHE_LOCK",
        "_resolve_file", "_declare_api", "_load_library", "OrluneNC", "_SESSION_CAPI",
    ]  # fmt: skip
    assert (native.ctypes, native.Path, native.np, native.NDArray) == (
        ctypes,
        pathlib.Path,
        np,
        numpy.typing.NDArray,
    )
    assert native.logger is logging.getLogger("orlune.native")
    assert list(native._LIBRARY_NAMES.items()) == [
        ("Darwin", "liborlune_nc.dylib"),
        ("Linux", "liborlune_nc.so"),
        ("Windows", "orlune_nc.dll"),
    ]
    assert type(native._LIBRARY_CACHE) is dict
    assert type(native._LIBRARY_CACHE_LOCK) is type(threading.Lock())
    assert native.OrluneNC.__bases__ == (object,)


def test_object_whose_constructor_never_ran_is_safe_to_use() -> None:
    session = blank(native)
    for name in ("_lib", "_lock", "_model", "_session", "frame_length", "_input", "_output"):
        with pytest.raises(AttributeError):
            getattr(session, name)
    assert session.close() is None
    assert session.reset() is None
    assert math.isnan(session.speech_probability)
    with pytest.raises(RuntimeError, match="^Orlune denoising session is closed$"):
        session.process_frame(np.zeros(480, dtype=np.int16))


def test_resolve_file_returns_the_resolved_regular_file(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    target = tmp_path / "bundle.bin"
    target.write_bytes(b"x")
    (tmp_path / "link.bin").symlink_to(target)
    monkeypatch.chdir(tmp_path)
    assert native._resolve_file(Path("link.bin"), "model bundle") == target.resolve()
    assert (
        native._resolve_file(path=Path("bundle.bin"), description="model bundle")
        == target.resolve()
    )


@pytest.mark.parametrize("name", ["missing.bin", ".", "dangling.bin"])
def test_resolve_file_refuses_anything_but_a_regular_file_with_the_absolute_path(
    name: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    (tmp_path / "dangling.bin").symlink_to(tmp_path / "gone")
    monkeypatch.chdir(tmp_path)
    expected = f"Packaged Orlune native library was not found at {(tmp_path / name).resolve()}"
    with pytest.raises(FileNotFoundError) as raised:
        native._resolve_file(Path(name), "native library")
    assert raised.value.args == (expected,)


def test_resolve_file_given_a_string_raises_attribute_error() -> None:
    with pytest.raises(AttributeError):
        native._resolve_file("bundle.bin", "model bundle")


def test_import_loads_no_engine_and_the_first_session_loads_it_once() -> None:
    run_python(
        """
        from pathlib import Path
        import orlune._orlune_nc as native

        def engine_mappings():
            lines = Path("/proc/self/maps").read_text().splitlines()
            return {line.split()[-1] for line in lines if "liborlune_nc" in line}

        assert engine_mappings() == set() and native._LIBRARY_CACHE == {}
        package = Path(native.__file__).resolve().parent
        bundle = package / "resources" / "models" / "orlune-nc-default.bin"
        sessions = [
            native.OrluneNC(sample_rate=48000, attenuation_limit_db=100.0, model_path=bundle)
            for _ in range(2)
        ]
        library = package / "resources" / "lib" / "liborlune_nc.so"
        assert engine_mappings() == {str(library)}, engine_mappings()
        assert list(native._LIBRARY_CACHE) == [library]
        assert sessions[0]._lib is sessions[1]._lib is native._LIBRARY_CACHE[library]
        """
    )


@pytest.mark.parametrize("module", ["_orlune_nc", "_processor"])
def test_module_initialises_once_and_in_one_interpreter_only(module: str) -> None:
    child = Path(__file__).resolve().parent / "support" / "second_interpreter.py"
    result = subprocess.run(
        [sys.executable, "-W", "error", str(child), f"orlune.{module}"],
        capture_output=True, text=True, timeout=60, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    refused = (
        "ImportError: Interpreter change detected - this module can only be loaded into one"
        " interpreter per process."
    )
    assert seen["shared_gil"] == refused
    # From 3.12 on, an interpreter with a GIL of its own turns the module away before it runs.
    if sys.version_info >= (3, 12):
        refused = f"ImportError: module orlune.{module} does not support loading in subinterpreters"
    assert seen["own_gil"] == refused
    assert seen["again"] == (
        f"RuntimeError: Module '{module}' has already been imported. Re-initialisation is not"
        " supported."
    )
