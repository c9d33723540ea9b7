"""The engine's own feature front end and network runner, reached through ctypes.

Training sees exactly the features the engine computes at run time: there is no
Python copy of them.
"""

from __future__ import annotations

import atexit
import ctypes
import functools
import importlib.util
import shutil
import tempfile
from functools import cached_property
from pathlib import Path

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float32]

# The statistical front end's parameters come from the classic bundle.
CLASSIC_BUNDLES = ("orlune-nc-classic.bin", "orlune-nc-default.bin")

_float_p = ctypes.POINTER(ctypes.c_float)


def _package_file(relative: str) -> Path:
    """A file of the installed package; an editable install spreads it over two folders."""
    import orlune._orlune_nc  # noqa: F401  (an editable install rebuilds the engine here)

    spec = importlib.util.find_spec("orlune")
    locations = list(spec.submodule_search_locations or []) if spec else []
    for folder in locations:
        if (Path(folder) / relative).is_file():
            return Path(folder) / relative
    raise FileNotFoundError(f"{relative} is in none of {locations}")


@functools.cache
def _private_library() -> Path:
    """A private copy of the engine library: a rebuild of the package during a long
    training run must not rewrite the file this process has mapped."""
    folder = Path(tempfile.mkdtemp(prefix="orlune-train-"))
    atexit.register(shutil.rmtree, folder, ignore_errors=True)
    return Path(shutil.copy2(_package_file("resources/lib/liborlune_nc.so"), folder))


def classic_bundle() -> Path:
    for name in CLASSIC_BUNDLES:
        try:
            return _package_file(f"resources/models/{name}")
        except FileNotFoundError:
            continue
    raise FileNotFoundError("the package holds no classic model bundle")


def _pointer(array: np.ndarray | None) -> ctypes._Pointer | None:  # type: ignore[type-arg]
    return None if array is None else array.ctypes.data_as(_float_p)


class Engine:
    """One loaded bundle and the library's analyse/infer exports."""

    def __init__(self, bundle: Path | None = None) -> None:
        self._lib = ctypes.CDLL(str(_private_library()))
        lib = self._lib
        lib.kelvo_nc_model_load_from_path.restype = ctypes.c_void_p
        lib.kelvo_nc_model_load_from_path.argtypes = [ctypes.c_char_p]
        lib.kelvo_nc_model_free.argtypes = [ctypes.c_void_p]
        lib.kelvo_nc_band_count.restype = ctypes.c_size_t
        lib.kelvo_nc_feature_count.restype = ctypes.c_size_t
        lib.kelvo_nc_analyse.restype = ctypes.c_size_t
        lib.kelvo_nc_analyse.argtypes = [
            ctypes.c_void_p, ctypes.c_size_t, _float_p, ctypes.c_size_t, _float_p, _float_p
        ]
        path = bundle if bundle is not None else classic_bundle()
        self._model = lib.kelvo_nc_model_load_from_path(str(path).encode())
        if not self._model:
            raise ValueError(f"the engine refused the model bundle {path}")

    def close(self) -> None:
        if self._model:
            self._lib.kelvo_nc_model_free(self._model)
            self._model = None

    def __enter__(self) -> Engine:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    @cached_property
    def bands(self) -> int:
        return int(self._lib.kelvo_nc_band_count())

    @cached_property
    def features(self) -> int:
        return int(self._lib.kelvo_nc_feature_count())

    def analyse(self, signal: np.ndarray, rate: int) -> tuple[FloatArray, FloatArray]:
        """(features [frames, F], band energies [frames, B]) of `signal` (full scale 1.0)
        run from a fresh stream."""
        samples = np.ascontiguousarray(signal, np.float32)
        frames = len(samples) // (rate // 100) + 1
        features = np.zeros((frames, self.features), np.float32)
        energy = np.zeros((frames, self.bands), np.float32)
        done = self._lib.kelvo_nc_analyse(
            self._model, rate, _pointer(samples), len(samples), _pointer(features), _pointer(energy)
        )
        if done == 0:
            raise ValueError(f"the engine analysed no frame ({len(samples)} samples at {rate} Hz)")
        return features[:done], energy[:done]

    def infer(self, features: np.ndarray) -> FloatArray:
        """The bundle's network run from a fresh state: [frames, B + 1] outputs."""
        infer = self._lib.kelvo_nc_infer
        infer.restype = ctypes.c_size_t
        infer.argtypes = [ctypes.c_void_p, _float_p, ctypes.c_size_t, _float_p]
        inputs = np.ascontiguousarray(features, np.float32)
        outputs = np.zeros((len(inputs), self.bands + 1), np.float32)
        done = infer(self._model, _pointer(inputs), len(inputs), _pointer(outputs))
        if done != len(inputs):
            raise ValueError("the bundle has no network the engine can run")
        return outputs
