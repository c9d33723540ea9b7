"""What the Python layer accepts (rates, channels, attenuation limits, float samples)
and how it turns float audio into the engine's 16-bit samples.

`denoise`, `StreamDenoiser`, the command line, the benchmarks and the tests all
check and convert through here, so that each rule and each message exists once.
Importing this module loads no extension module.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

# The engine's rates; audio at any other rate is resampled to the next one up.
SUPPORTED_RATES = (8000, 16000, 22050, 24000, 32000, 44100, 48000)
MIN_SAMPLE_RATE = 1000
MAX_SAMPLE_RATE = 768000
# Each channel has its own engine stream (about 240 KB) and resamplers; beyond this
# a shape mistake (channels first) is far likelier than a real recording.
MAX_CHANNELS = 64

PCM_SCALE = 32768.0


def _whole_number(value: object) -> int | None:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        return None
    return int(value)


def check_sample_rate(value: object) -> int:
    rate = _whole_number(value)
    if rate is None or not MIN_SAMPLE_RATE <= rate <= MAX_SAMPLE_RATE:
        raise ValueError(
            f"sample_rate must be a whole number of Hz from {MIN_SAMPLE_RATE} to"
            f" {MAX_SAMPLE_RATE}, not {value!r}"
        )
    return rate


def check_channels(value: object, shape: tuple[int, ...] | None = None) -> int:
    """`shape`, when given, is the caller's (frames, channels) array, for a hint."""
    channels = _whole_number(value)
    if channels is None or not 1 <= channels <= MAX_CHANNELS:
        message = f"channels must be a whole number from 1 to {MAX_CHANNELS}, not {value!r}"
        if shape is not None and len(shape) == 2 and shape[1] > shape[0]:
            message += (
                f"; audio of shape {shape} looks channels-first: pass it transposed"
                " (audio.T), shaped (frames, channels)"
            )
        raise ValueError(message)
    return channels


def check_attenuation_limit(value: object) -> float:
    """A limit in dB: a real number, 0 or more; infinity means no limit."""
    if not isinstance(value, (int, float, np.integer, np.floating)) or isinstance(
        value, (bool, np.bool_)
    ) or math.isnan(value) or value < 0:
        raise ValueError(
            f"the attenuation limit must be a number of decibels, 0 or more, not {value!r}"
        )
    return float(value)


class ClippedInputWarning(UserWarning):
    """Float audio held values the engine cannot take: beyond +-1.0, NaN or infinite."""


@dataclass
class ClipCounts:
    """Float input samples changed on their way to the engine, by kind."""

    beyond_full_scale: int = 0  # clipped to +-1.0
    nan: int = 0  # set to 0
    infinite: int = 0  # set to 0

    def __bool__(self) -> bool:
        return bool(self.beyond_full_scale or self.nan or self.infinite)

    def message(self) -> str:
        parts = []
        if self.beyond_full_scale:
            parts.append(f"{self.beyond_full_scale} beyond +-1.0 clipped to full scale")
        if self.nan:
            parts.append(f"{self.nan} NaN set to 0")
        if self.infinite:
            parts.append(f"{self.infinite} infinite set to 0")
        return "float input samples changed: " + ", ".join(parts)

    def clean(self, frames: NDArray[np.floating[Any]]) -> NDArray[np.floating[Any]]:
        """`frames` within full scale: NaN and +-inf become 0, the rest is clipped; counted."""
        finite = np.isfinite(frames)
        beyond = int(np.count_nonzero(finite & (np.abs(frames) > 1.0)))
        if beyond == 0 and bool(finite.all()):
            return frames
        nan = int(np.count_nonzero(np.isnan(frames)))
        self.beyond_full_scale += beyond
        self.nan += nan
        self.infinite += int(finite.size - np.count_nonzero(finite)) - nan
        cleaned: NDArray[np.floating[Any]] = np.clip(np.where(finite, frames, 0.0), -1.0, 1.0)
        return cleaned.astype(frames.dtype, copy=False)


def quantise(samples: NDArray[np.floating[Any]]) -> NDArray[np.int16]:
    """Full-scale floats to int16, rounding to nearest; beyond full scale saturates."""
    scaled: NDArray[np.floating[Any]] = np.rint(samples * PCM_SCALE)
    clipped: NDArray[np.floating[Any]] = np.clip(scaled, -32768, 32767)
    return clipped.astype(np.int16)
