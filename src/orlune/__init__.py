"""Orlune: real-time speech enhancement (noise suppression) with a C++ core."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from ._version import __version__

if TYPE_CHECKING:
    from ._processor import OrluneProcessor

__all__ = ["OrluneProcessor", "__version__"]


def __getattr__(name: str) -> Any:
    # Imported on first use so that `import orlune` loads no extension module.
    if name == "OrluneProcessor":
        from ._processor import OrluneProcessor

        return OrluneProcessor
    raise AttributeError(f"module 'orlune' has no attribute {name!r}")
