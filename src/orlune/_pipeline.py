"""The denoising core shared by `denoise`, `StreamDenoiser` and the command line.

One pipeline is one continuous stream of (frames, channels) audio at the caller's
rate. Float audio is quantised to 16 bits for the engine; a rate the engine lacks
is resampled with soxr to the next supported rate and back. Each stage is
invariant to how the stream is cut into chunks (soxr's `ResampleStream` is, and
the block buffer is), so any chunking yields the samples of one-shot processing.
"""

from __future__ import annotations

import logging
import math
from typing import Any

import numpy as np
import soxr  # type: ignore[import-untyped]
from numpy.typing import NDArray

from ._blocks import EngineBlocks

logger = logging.getLogger("orlune.denoise")

SUPPORTED_RATES = (8000, 16000, 22050, 24000, 32000, 44100, 48000)

_PCM_SCALE = 32768.0


def engine_rate_for(sample_rate: int) -> int:
    """The engine rate that audio at `sample_rate` is processed at."""
    for rate in SUPPORTED_RATES:
        if rate >= sample_rate:
            return rate
    return SUPPORTED_RATES[-1]


def _positive_int(value: object, name: str) -> int:
    if (
        isinstance(value, (bool, np.bool_))
        or not isinstance(value, (int, np.integer))
        or value <= 0
    ):
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return int(value)


def check_audio_dtype(dtype: np.dtype[Any]) -> None:
    if not (dtype.kind == "f" or (dtype.kind == "i" and dtype.itemsize == 2)):
        raise TypeError(f"audio must be int16 or floating point, not {dtype}")


def _quantise(samples: NDArray[np.floating[Any]]) -> NDArray[np.int16]:
    """Full-scale floats (already within +-1.0) to int16, rounding to nearest."""
    scaled: NDArray[np.floating[Any]] = np.rint(samples * _PCM_SCALE)
    clipped: NDArray[np.floating[Any]] = np.clip(scaled, -32768, 32767)
    return clipped.astype(np.int16)


class DenoisePipeline:
    """Per-channel denoising of one stream of (frames, channels) audio.

    `push` returns the aligned output that is ready and `finish` the rest, so
    that all the output together has exactly as many frames as the input.
    """

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        attenuation_limit_db: float = 100.0,
        *,
        keep_trace: bool = False,
    ) -> None:
        self.sample_rate = _positive_int(sample_rate, "sample_rate")
        self.channels = _positive_int(channels, "channels")
        self.engine_rate = engine_rate_for(self.sample_rate)
        self._resampled = self.engine_rate != self.sample_rate
        if self._resampled:
            rate, engine_rate = self.sample_rate, self.engine_rate
            logger.debug("resampling %d Hz audio to %d Hz for the engine", rate, engine_rate)
            self._up = soxr.ResampleStream(rate, engine_rate, self.channels, dtype="float32")
            self._down = soxr.ResampleStream(engine_rate, rate, self.channels, dtype="float32")
        self._blocks = EngineBlocks(
            self.engine_rate, self.channels, attenuation_limit_db, keep_trace=keep_trace
        )
        self._received = 0
        self._emitted = 0
        self._finished = False
        # Output the downsampler gave beyond the input seen so far, held for later.
        self._carry = np.empty((0, channels), dtype=np.float32)
        self.clipped_samples = 0

    @property
    def frame_length(self) -> int:
        return self._blocks.frame_length

    @property
    def engine_latency(self) -> int:
        return self._blocks.latency

    @property
    def latency_samples(self) -> int:
        """The most input frames `push` holds back at an engine rate: the engine's
        delay plus a block waiting to fill, expressed at the caller's rate."""
        engine_samples = self._blocks.latency + self._blocks.frame_length - 1
        return math.ceil(engine_samples * self.sample_rate / self.engine_rate)

    @property
    def speech_probability(self) -> float:
        return self._blocks.speech_probability

    @property
    def mean_speech_probability(self) -> float:
        frames = self._blocks.probability_frames
        return self._blocks.probability_sum / frames if frames else math.nan

    @property
    def trace(self) -> list[float] | None:
        """Speech probability of every engine frame when the pipeline keeps a trace."""
        return self._blocks.trace

    def push(self, frames: NDArray[Any]) -> NDArray[Any]:
        """Takes (n, channels) audio; returns the enhanced audio ready, in the same dtype."""
        if self._finished:
            raise RuntimeError("the stream has been flushed; start a new one")
        check_audio_dtype(frames.dtype)
        if frames.ndim != 2 or frames.shape[1] != self.channels:
            raise ValueError(f"expected (frames, {self.channels}) audio, got shape {frames.shape}")
        self._received += frames.shape[0]
        if not self._resampled:
            pcm = self._blocks.push(np.ascontiguousarray(self._to_pcm16(frames).T))
            self._emitted += pcm.shape[1]
            return _from_pcm16(pcm.T, frames.dtype)
        upsampled = self._up.resample_chunk(self._to_float32(frames))
        enhanced = self._through_engine(upsampled, last=False)
        return _from_float32(self._emit(self._down.resample_chunk(enhanced)), frames.dtype)

    def finish(self, dtype: np.dtype[Any]) -> NDArray[Any]:
        """Returns the rest of the output, in `dtype`; the stream ends here."""
        check_audio_dtype(dtype)
        if self._finished:
            return np.empty((0, self.channels), dtype=dtype)
        self._finished = True
        if not self._resampled:
            pcm = self._blocks.finish()
            self._emitted += pcm.shape[1]
            return _from_pcm16(pcm.T, dtype)
        upsampled = self._up.resample_chunk(np.empty((0, self.channels), np.float32), last=True)
        enhanced = self._through_engine(upsampled, last=True)
        rest = self._emit(self._down.resample_chunk(enhanced, last=True), final=True)
        return _from_float32(rest, dtype)

    def close(self) -> None:
        self._blocks.close()

    def _through_engine(self, upsampled: NDArray[np.float32], *, last: bool) -> NDArray[np.float32]:
        # Resampling may overshoot full scale a little; that is clipped without a word.
        pcm = self._blocks.push(np.ascontiguousarray(_quantise(upsampled).T))
        if last:
            pcm = np.concatenate((pcm, self._blocks.finish()), axis=1)
        return np.ascontiguousarray(pcm.T, dtype=np.float32) / np.float32(_PCM_SCALE)

    def _emit(self, resampled: NDArray[np.float32], *, final: bool = False) -> NDArray[np.float32]:
        """Caps the output at the input received; at the end pads or trims to match it."""
        ready = np.concatenate((self._carry, resampled))
        owed = self._received - self._emitted
        if final and ready.shape[0] < owed:
            silence = np.zeros((owed - ready.shape[0], self.channels), dtype=np.float32)
            ready = np.concatenate((ready, silence))
        out, self._carry = ready[:owed], ready[owed:]
        if final:
            self._carry = self._carry[:0]
        self._emitted += out.shape[0]
        return out

    def _to_pcm16(self, frames: NDArray[Any]) -> NDArray[np.int16]:
        if frames.dtype.kind == "i":
            return frames.astype(np.int16, copy=False)
        return _quantise(self._clip(frames))

    def _to_float32(self, frames: NDArray[Any]) -> NDArray[np.float32]:
        if frames.dtype.kind == "i":
            return frames.astype(np.float32) / np.float32(_PCM_SCALE)
        return np.ascontiguousarray(self._clip(frames), dtype=np.float32)

    def _clip(self, frames: NDArray[np.floating[Any]]) -> NDArray[np.floating[Any]]:
        """Clips float audio to full scale (NaN becomes silence), counting what was clipped."""
        out_of_range = int(np.count_nonzero(~(np.abs(frames) <= 1.0)))
        if not out_of_range:
            return frames
        self.clipped_samples += out_of_range
        finite: NDArray[np.floating[Any]] = np.nan_to_num(frames, nan=0.0, posinf=1.0, neginf=-1.0)
        clipped: NDArray[np.floating[Any]] = np.clip(finite, -1.0, 1.0)
        return clipped


def _from_pcm16(pcm: NDArray[np.int16], dtype: np.dtype[Any]) -> NDArray[Any]:
    if dtype.kind == "i":
        return pcm.astype(dtype)
    scaled: NDArray[np.floating[Any]] = pcm / dtype.type(_PCM_SCALE)
    return scaled.astype(dtype, copy=False)


def _from_float32(samples: NDArray[np.float32], dtype: np.dtype[Any]) -> NDArray[Any]:
    if dtype.kind == "i":
        return _quantise(samples).astype(dtype, copy=False)
    return samples.astype(dtype)


def as_frames(audio: NDArray[Any]) -> NDArray[Any]:
    """Views mono (n,) or (n, channels) audio as (n, channels), checking its type."""
    if not isinstance(audio, np.ndarray):
        raise TypeError(f"audio must be a NumPy array, not {type(audio).__name__}")
    check_audio_dtype(audio.dtype)
    if audio.ndim == 1:
        return audio[:, np.newaxis]
    if audio.ndim == 2 and audio.shape[1] > 0:
        return audio
    raise ValueError(f"audio must have shape (n,) or (n, channels), not {audio.shape}")
