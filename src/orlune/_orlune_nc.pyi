"""Binding of the Orlune noise-suppression engine library."""

import ctypes
import logging
import threading
from pathlib import Path
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray

logger: logging.Logger
_LIBRARY_NAMES: dict[str, str]
_LIBRARY_CACHE: dict[Path, ctypes.CDLL]
_LIBRARY_CACHE_LOCK: threading.Lock
_SESSION_CAPI: object

# See _processor.pyi: keeps an inline float array from being inferred as int16.
_Int16 = TypeVar("_Int16", bound=np.int16)

def _resolve_file(path: Path, description: str) -> Path: ...
def _declare_api(lib: ctypes.CDLL) -> None: ...
def _load_library(path: Path) -> ctypes.CDLL: ...

class OrluneNC:
    """One stream of the Orlune noise-suppression engine."""

    def __init__(
        self, *, sample_rate: int, attenuation_limit_db: float, model_path: Path
    ) -> None: ...
    @property
    def frame_length(self) -> int:
        """Samples per frame."""
    @property
    def latency_samples(self) -> int:
        """The engine's constant delay of its output behind its input, in samples."""
    @property
    def speech_probability(self) -> float:
        """Speech presence probability of the last frame, NaN before the first."""
    @property
    def _lib(self) -> ctypes.CDLL: ...
    @property
    def _lock(self) -> threading.Lock: ...
    @property
    def _model(self) -> int | None: ...
    @property
    def _session(self) -> int | None: ...
    @property
    def _input(self) -> NDArray[np.float32]: ...
    @property
    def _output(self) -> NDArray[np.float32]: ...
    def process_frame(self, samples: NDArray[_Int16]) -> NDArray[np.int16]:
        """Enhance one frame of frame_length int16 samples; returns a new int16 array."""
    def reset(self) -> None:
        """Return the engine stream to its freshly created state."""
    def close(self) -> None:
        """Free the engine session and then its model; safe to call any number of times."""
