"""`orlune.denoise`: one-shot noise suppression of a NumPy array."""

from __future__ import annotations

import warnings
from typing import Any, TypeVar, overload

import numpy as np
from numpy.typing import NDArray

from ._pipeline import DenoisePipeline, as_frames

_Float = TypeVar("_Float", bound=np.floating[Any])


class ClippedInputWarning(UserWarning):
    """Float audio held values beyond +-1.0 (or NaN); they were clipped for the engine."""


def clipping_message(count: int) -> str:
    return f"{count} float samples beyond +-1.0 (or NaN) were clipped to full scale"


@overload
def denoise(
    audio: NDArray[np.int16], sample_rate: int, *, attenuation_limit_db: float = ...
) -> NDArray[np.int16]: ...
@overload
def denoise(
    audio: NDArray[_Float], sample_rate: int, *, attenuation_limit_db: float = ...
) -> NDArray[_Float]: ...
def denoise(
    audio: NDArray[Any], sample_rate: int, *, attenuation_limit_db: float = 100.0
) -> NDArray[Any]:
    """Suppresses the noise in `audio` and returns it in the same dtype and shape.

    `audio` is int16 or floating point (full scale +-1.0), mono ``(n,)`` or
    ``(n, channels)``, at any sample rate and of any length. Each channel is
    enhanced on its own; the output is time-aligned with the input (the engine's
    delay is compensated). Float values beyond +-1.0 are clipped, with one
    `ClippedInputWarning` per call.
    """
    frames = as_frames(audio)
    pipeline = DenoisePipeline(sample_rate, frames.shape[1], attenuation_limit_db)
    try:
        out = np.concatenate((pipeline.push(frames), pipeline.finish(frames.dtype)))
    finally:
        pipeline.close()
    if pipeline.clipped_samples:
        warnings.warn(clipping_message(pipeline.clipped_samples), ClippedInputWarning, stacklevel=2)
    return out.reshape(audio.shape).astype(audio.dtype, copy=False)
