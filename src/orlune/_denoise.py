"""`orlune.denoise`: one-shot noise suppression of a NumPy array."""

from __future__ import annotations

import warnings
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._checks import ClippedInputWarning
from ._model_store import DEFAULT_MODEL_ID
from ._pipeline import DenoisePipeline, as_frames

__all__ = ["ClippedInputWarning", "denoise"]

_Audio = TypeVar("_Audio", bound="np.int16 | np.floating[Any]")


def denoise(
    audio: NDArray[_Audio],
    sample_rate: int,
    *,
    attenuation_limit_db: float = 100.0,
    model: str = DEFAULT_MODEL_ID,
) -> NDArray[_Audio]:
    """Suppresses the noise in `audio` and returns it in the same dtype and shape.

    `audio` is int16 or floating point (full scale +-1.0), mono ``(n,)`` or
    ``(n, channels)`` with at most 64 channels, at a sample rate from 1 kHz to
    768 kHz, of any length. Each channel is enhanced on its own; the output is
    time-aligned with the input (the engine's delay is compensated). Float values
    beyond +-1.0 are clipped and NaN or infinite ones set to 0, with one
    `ClippedInputWarning` per call that counts each kind.

    `attenuation_limit_db` caps how far any sound is pulled down. Each model has
    a deepest suppression of its own (`orlune.packaged_models()` gives it; the
    statistical engine, ``orlune-nc-classic``, goes 20 dB deep): a limit above
    it gives the same output as that maximum, so the default 100 dB means "as
    far as the model goes".

    `model` is the id of a packaged model (`orlune.packaged_models()` lists
    them); an id the package lacks raises `orlune.UnknownModelError`, a
    `ValueError` that names the ids there are.
    """
    frames = as_frames(audio)
    pipeline = DenoisePipeline(sample_rate, frames.shape[1], attenuation_limit_db, model=model)
    try:
        out = np.concatenate((pipeline.push(frames), pipeline.finish(frames.dtype)))
    finally:
        pipeline.close()
    if pipeline.clipped:
        warnings.warn(pipeline.clipped.message(), ClippedInputWarning, stacklevel=2)
    return out.reshape(audio.shape).astype(audio.dtype, copy=False)
