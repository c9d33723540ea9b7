"""Passes float audio where int16 is required; each marked line must be a mypy error."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import orlune
from orlune._orlune_nc import OrluneNC


def blocks(processor: orlune.OrluneProcessor, audio: NDArray[np.float32]) -> None:
    processor.process(audio)  # error: type-var
    processor.process(np.zeros(480, dtype=np.float32))  # error: type-var


def frame(session: OrluneNC) -> None:
    samples = np.zeros(session.frame_length, dtype=np.float64)
    session.process_frame(samples)  # error: type-var


def keeps_float(audio: NDArray[np.float32]) -> NDArray[np.int16]:
    return orlune.denoise(audio, 48000)  # error: arg-type
