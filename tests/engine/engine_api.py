"""The installed engine library through ctypes, the packaged default bundle, and test signals."""

from __future__ import annotations

import ctypes
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import orlune

PACKAGE_DIR = Path(orlune.__file__).resolve().parent
LIBRARY_PATH = PACKAGE_DIR / "resources" / "lib" / "liborlune_nc.so"
# The statistical engine's bundle, which most engine tests run.
BUNDLE_PATH = PACKAGE_DIR / "resources" / "models" / "orlune-nc-classic.bin"
# The packaged default: the trained learned model.
DEFAULT_BUNDLE_PATH = PACKAGE_DIR / "resources" / "models" / "orlune-nc-default.bin"

FloatArray = npt.NDArray[np.float32]


def _bind(lib: ctypes.CDLL, name: str, argtypes: list[Any], restype: Any) -> Any:
    function = getattr(lib, f"kelvo_nc_{name}")
    function.argtypes = argtypes
    function.restype = restype
    return function


class Engine:
    """The engine's C functions, typed, on the installed library."""

    def __init__(self, path: Path) -> None:
        lib = ctypes.CDLL(str(path))
        pointer = ctypes.POINTER(ctypes.c_float)
        void_p, size_t = ctypes.c_void_p, ctypes.c_size_t
        self.model_load_from_path = _bind(lib, "model_load_from_path", [ctypes.c_char_p], void_p)
        self.model_free = _bind(lib, "model_free", [void_p], None)
        self.session_create = _bind(lib, "session_create", [void_p, size_t, ctypes.c_float], void_p)
        self.session_free = _bind(lib, "session_free", [void_p], None)
        self.get_frame_length = _bind(lib, "get_frame_length", [void_p], size_t)
        self.get_latency = _bind(lib, "get_latency", [void_p], size_t)
        self.process_frame = _bind(lib, "process_frame", [void_p, pointer, pointer], ctypes.c_float)
        self.reset = _bind(lib, "reset", [void_p], None)
        self.band_count = int(_bind(lib, "band_count", [], size_t)())
        self.feature_count = int(_bind(lib, "feature_count", [], size_t)())
        self._infer = _bind(lib, "infer", [void_p, pointer, size_t, pointer], size_t)
        self._analyse = _bind(lib, "analyse", [void_p, size_t, pointer, size_t, pointer, pointer], size_t)
        self.supported_rates = _bind(lib, "supported_rates", [ctypes.POINTER(size_t), size_t], size_t)

    def analyse(self, model: int, rate: int, samples: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
        """Features (frames x F) and band energies (frames x B) of a signal from a fresh stream."""
        signal = np.ascontiguousarray(samples, dtype=np.float32)
        capacity = len(signal) // 80 + 1  # the shortest frame of any rate
        features = np.full((capacity, self.feature_count), np.nan, np.float32)
        energies = np.full((capacity, self.band_count), np.nan, np.float32)
        pointer = ctypes.POINTER(ctypes.c_float)
        frames = int(self._analyse(model, rate, signal.ctypes.data_as(pointer), len(signal),
                                   features.ctypes.data_as(pointer), energies.ctypes.data_as(pointer)))
        return features[:frames], energies[:frames]

    def infer(self, model: int, features: npt.ArrayLike) -> FloatArray:
        """The network's outputs (frames x (B + 1)) for features (frames x F) from a fresh state."""
        inputs = np.ascontiguousarray(features, dtype=np.float32)
        outputs = np.full((len(inputs), self.band_count + 1), np.nan, np.float32)
        pointer = ctypes.POINTER(ctypes.c_float)
        frames = self._infer(model, inputs.ctypes.data_as(pointer), len(inputs), outputs.ctypes.data_as(pointer))
        assert frames == len(inputs), f"inferred {frames} of {len(inputs)} frames"
        return outputs

    def rates(self) -> list[int]:
        count = self.supported_rates(None, 0)
        rates = (ctypes.c_size_t * count)()
        assert self.supported_rates(rates, count) == count
        return list(rates)

    def load(self, path: Path) -> int | None:
        handle: int | None = self.model_load_from_path(bytes(path))
        return handle

    @contextmanager
    def model(self, path: Path = BUNDLE_PATH) -> Iterator[int]:
        handle = self.load(path)
        assert handle, f"the bundle at {path} did not load"
        try:
            yield handle
        finally:
            self.model_free(handle)

    @contextmanager
    def session(self, rate: int, limit_db: float = 100.0, bundle: Path = BUNDLE_PATH) -> Iterator[Session]:
        with self.model(bundle) as model:
            handle = self.session_create(model, rate, limit_db)
            assert handle, f"no session at {rate} Hz"
            try:
                yield Session(self, handle)
            finally:
                self.session_free(handle)


class Session:
    """One engine stream on float samples, full scale 1.0."""

    def __init__(self, engine: Engine, handle: int) -> None:
        self._engine = engine
        self.handle = handle
        self.frame_length = int(engine.get_frame_length(handle))
        self.latency = int(engine.get_latency(handle))

    def process(self, samples: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
        """Output for the whole frames of `samples`, and each frame's presence probability."""
        signal = np.ascontiguousarray(samples, dtype=np.float32)
        n = self.frame_length
        frames = len(signal) // n
        output = np.empty(frames * n, np.float32)
        probabilities = np.empty(frames, np.float32)
        pointer = ctypes.POINTER(ctypes.c_float)
        for i in range(frames):
            frame_in = signal[i * n : (i + 1) * n]
            frame_out = output[i * n : (i + 1) * n]
            probabilities[i] = self._engine.process_frame(
                self.handle, frame_in.ctypes.data_as(pointer), frame_out.ctypes.data_as(pointer)
            )
        return output, probabilities

    def reset(self) -> None:
        self._engine.reset(self.handle)


RATES = Engine(LIBRARY_PATH).rates()  # the rates a session opens at, as the engine lists them

def white_noise(rate: int, seconds: float, level_dbfs: float, seed: int = 7) -> FloatArray:
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(int(rate * seconds)) * float(10.0 ** (level_dbfs / 20.0))
    return noise.astype(np.float32)


def pink_noise(rate: int, seconds: float, level_dbfs: float, seed: int = 7) -> FloatArray:
    """Noise with a 1/f power spectrum."""
    return coloured_noise(rate, seconds, level_dbfs, 1.0, seed)


def coloured_noise(rate: int, seconds: float, level_dbfs: float, exponent: float, seed: int = 7) -> FloatArray:
    """Noise with a 1/f^exponent power spectrum (0 white, 1 pink, 2 brown), shaped in the
    frequency domain."""
    rng = np.random.default_rng(seed)
    length = int(rate * seconds)
    spectrum = np.fft.rfft(rng.standard_normal(length))
    frequencies = np.fft.rfftfreq(length, 1.0 / rate)
    spectrum[1:] /= frequencies[1:] ** (exponent / 2.0)
    spectrum[0] = 0.0
    noise = np.fft.irfft(spectrum, length)
    noise *= 10.0 ** (level_dbfs / 20.0) / np.sqrt(np.mean(noise**2))
    return noise.astype(np.float32)


def level_db(samples: npt.ArrayLike) -> float:
    values = np.asarray(samples, np.float64)
    return float(10.0 * np.log10(np.mean(values**2) + 1e-30))
