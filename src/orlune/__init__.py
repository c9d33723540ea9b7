"""Orlune: real-time speech enhancement (noise suppression) with a C++ core."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._version import __version__

if TYPE_CHECKING:
    from ._checks import ClippedInputWarning
    from ._denoise import denoise
    from ._model_store import PackagedModel, UnknownModelError, packaged_models
    from ._processor import OrluneProcessor
    from ._stream import StreamDenoiser

__all__ = [
    "ClippedInputWarning",
    "OrluneProcessor",
    "PackagedModel",
    "StreamDenoiser",
    "UnknownModelError",
    "__version__",
    "denoise",
    "packaged_models",
]

# Names served by the pure-Python model store (no extension module behind them).
_MODEL_STORE_NAMES = ("PackagedModel", "UnknownModelError", "packaged_models")


def __getattr__(name: str) -> Any:
    # Imported on first use so that `import orlune` loads no extension module.
    if name == "OrluneProcessor":
        from ._processor import OrluneProcessor

        return OrluneProcessor
    if name == "denoise":
        from ._denoise import denoise

        return denoise
    if name == "ClippedInputWarning":
        from ._checks import ClippedInputWarning

        return ClippedInputWarning
    if name == "batch":
        import importlib

        return importlib.import_module(".batch", __name__)
    if name in _MODEL_STORE_NAMES:
        from . import _model_store

        return getattr(_model_store, name)
    if name == "StreamDenoiser":
        from ._stream import StreamDenoiser

        return StreamDenoiser
    raise AttributeError(f"module 'orlune' has no attribute {name!r}")
