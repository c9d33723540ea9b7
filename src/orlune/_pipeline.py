"""The denoising core shared by `denoise`, `StreamDenoiser` and the command line.

One pipeline is one continuous stream of (frames, channels) audio at the caller's
rate. Float audio is quantised to 16 bits for the engine; a rate the engine lacks
is resampled with soxr to the next supported rate and back. Each stage is
invariant to how the stream is cut into chunks (soxr's `ResampleStream` is, and
the block buffer is), so any chunking yields the samples of one-shot processing.

The pipeline alone keeps the output aligned with the input: it drops the
engine's delay from the start of the engine's output, carries the engine on
with silence at the end, and gives out exactly as many frames as came in.
"""

from __future__ import annotations

import functools
import logging
import math
from typing import Any

import numpy as np
import soxr  # type: ignore[import-untyped]
from numpy.typing import NDArray

from ._blocks import EngineBlocks
from ._checks import (
    PCM_SCALE,
    SUPPORTED_RATES,
    ClipCounts,
    check_attenuation_limit,
    check_channels,
    check_sample_rate,
    quantise,
)
from ._model_store import DEFAULT_MODEL_ID, PinnedModelStore

logger = logging.getLogger("orlune.denoise")


def engine_rate_for(sample_rate: int) -> int:
    """The engine rate that audio at `sample_rate` is processed at."""
    for rate in SUPPORTED_RATES:
        if rate >= sample_rate:
            return rate
    return SUPPORTED_RATES[-1]


def check_audio_dtype(dtype: np.dtype[Any]) -> None:
    if not (dtype.kind == "f" or (dtype.kind == "i" and dtype.itemsize == 2)):
        raise TypeError(f"audio must be int16 or floating point, not {dtype}")


def _resampler(from_rate: int, to_rate: int, channels: int) -> Any:
    return soxr.ResampleStream(from_rate, to_rate, channels, dtype="float32")


@functools.cache
def resampler_hold(from_rate: int, to_rate: int) -> float:
    """The most output samples a `ResampleStream` owes for the input it was given.

    soxr works through its input in fixed steps, so what it has given out depends
    only on how much it was given, not on the chunking: feeding one sample at a
    time up to the third step after the first output meets every state it has.
    """
    stream = _resampler(from_rate, to_rate, 1)
    sample = np.zeros((1, 1), dtype=np.float32)
    ratio = to_rate / from_rate
    given = emitted = steps = 0
    hold = 0.0
    while steps < 4:
        given += 1
        out = stream.resample_chunk(sample).shape[0]
        hold = max(hold, given * ratio - emitted)
        emitted += out
        steps += out > 0
    # The steps give out whole samples of a fractional ratio: allow one more.
    return hold + 1


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
        model: str = DEFAULT_MODEL_ID,
        keep_trace: bool = False,
    ) -> None:
        self.sample_rate = check_sample_rate(sample_rate)
        self.channels = check_channels(channels)
        attenuation_limit_db = check_attenuation_limit(attenuation_limit_db)
        model_store = PinnedModelStore(model)
        self.model_id = model_store.model.model_id
        self.engine_rate = engine_rate_for(self.sample_rate)
        self._resampled = self.engine_rate != self.sample_rate
        if self._resampled:
            rate, engine_rate = self.sample_rate, self.engine_rate
            logger.debug("resampling %d Hz audio to %d Hz for the engine", rate, engine_rate)
            self._up = _resampler(rate, engine_rate, self.channels)
            self._down = _resampler(engine_rate, rate, self.channels)
        self._blocks = EngineBlocks(
            self.engine_rate,
            self.channels,
            attenuation_limit_db,
            model_store=model_store,
            keep_trace=keep_trace,
        )
        self._engine_fed = 0  # engine-rate samples given to the engine blocks
        self._to_skip = self._blocks.latency  # the engine's delay, still to drop
        self._received = 0
        self._emitted = 0
        self._finished = False
        # Output beyond the input seen so far (the resampler may run ahead), held for later.
        self._carry = np.empty((0, channels), dtype=np.float32)
        self.clipped = ClipCounts()

    @property
    def frame_length(self) -> int:
        return self._blocks.frame_length

    @property
    def engine_latency(self) -> int:
        return self._blocks.latency

    @property
    def latency_samples(self) -> int:
        """The most input frames `push` holds back: the engine's delay plus a block
        waiting to fill and, at a resampled rate, what the two resamplers hold."""
        engine_samples = self._blocks.latency + self._blocks.frame_length - 1
        if not self._resampled:
            return engine_samples
        up = resampler_hold(self.sample_rate, self.engine_rate)
        down = resampler_hold(self.engine_rate, self.sample_rate)
        return math.ceil((up + engine_samples) * self.sample_rate / self.engine_rate + down)

    @property
    def speech_probability(self) -> float:
        return self._blocks.speech_probability

    @property
    def mean_speech_probability(self) -> float:
        frames = self._blocks.probability_frames
        return self._blocks.probability_sum / frames if frames else math.nan

    @property
    def model(self) -> tuple[str, str] | None:
        """The id and version of the model the engine runs (None for an engine without one)."""
        return self._blocks.model

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
        frames = np.asarray(frames)  # an ndarray subclass would reach soxr and the engine as itself
        # Converted before the frames are counted, so that a conversion that fails
        # leaves the stream as it was instead of owing output for unseen input.
        pcm = self._to_engine(frames)
        self._received += frames.shape[0]
        return self._from_engine(self._through_engine(pcm), frames.dtype, last=False)

    def finish(self, dtype: np.dtype[Any]) -> NDArray[Any]:
        """Returns the rest of the output, in `dtype`; the stream ends here."""
        check_audio_dtype(dtype)
        if self._finished:
            return np.empty((0, self.channels), dtype=dtype)
        self._finished = True
        pcm = np.empty((self.channels, 0), dtype=np.int16)
        if self._resampled:
            rest = self._up.resample_chunk(np.empty((0, self.channels), np.float32), last=True)
            pcm = np.ascontiguousarray(quantise(rest).T)
        enhanced = self._through_engine(pcm)
        # Every sample given to the engine must come out, `latency` samples later.
        if self._engine_fed:
            tail = self._skip_delay(self._blocks.pad(self._blocks.latency))
            enhanced = np.concatenate((enhanced, tail), axis=1)
        return self._from_engine(enhanced, dtype, last=True)

    def close(self) -> None:
        self._blocks.close()

    def _to_engine(self, frames: NDArray[Any]) -> NDArray[np.int16]:
        """(n, channels) audio in the caller's dtype to channels-first int16 at the engine rate."""
        if frames.dtype.kind == "f":
            frames = self.clipped.clean(frames)
        if not self._resampled:
            pcm = frames if frames.dtype.kind == "i" else quantise(frames)
        else:
            if frames.dtype.kind == "i":
                samples = frames.astype(np.float32) / np.float32(PCM_SCALE)
            else:
                samples = np.ascontiguousarray(frames, dtype=np.float32)
            # Resampling may overshoot full scale a little; that is clipped without a word.
            pcm = quantise(self._up.resample_chunk(samples))
        return np.ascontiguousarray(pcm.T, dtype=np.int16)

    def _through_engine(self, pcm: NDArray[np.int16]) -> NDArray[np.int16]:
        self._engine_fed += pcm.shape[1]
        return self._skip_delay(self._blocks.push(pcm))

    def _skip_delay(self, enhanced: NDArray[np.int16]) -> NDArray[np.int16]:
        skip = min(self._to_skip, enhanced.shape[1])
        self._to_skip -= skip
        return enhanced[:, skip:]

    def _from_engine(
        self, pcm: NDArray[np.int16], dtype: np.dtype[Any], *, last: bool
    ) -> NDArray[Any]:
        """Aligned engine output to (n, channels) in `dtype` at the caller's rate, capped at
        the input received; at the end padded or trimmed to match it exactly."""
        if not self._resampled:
            samples: NDArray[Any] = pcm.T
        else:
            enhanced = np.ascontiguousarray(pcm.T, dtype=np.float32) / np.float32(PCM_SCALE)
            samples = self._down.resample_chunk(enhanced, last=last)
        ready = np.concatenate((self._carry.astype(samples.dtype), samples))
        owed = self._received - self._emitted
        if last and ready.shape[0] < owed:
            silence = np.zeros((owed - ready.shape[0], self.channels), dtype=ready.dtype)
            ready = np.concatenate((ready, silence))
        out, carry = ready[:owed], ready[owed:]
        self._carry = carry[:0] if last else carry.astype(np.float32)
        self._emitted += out.shape[0]
        return _as_dtype(out, dtype)


def _as_dtype(samples: NDArray[Any], dtype: np.dtype[Any]) -> NDArray[Any]:
    """int16 or full-scale float32 samples in `dtype`."""
    if samples.dtype == np.int16:
        if dtype.kind == "i":
            return samples.astype(dtype)
        scaled: NDArray[np.floating[Any]] = samples / dtype.type(PCM_SCALE)
        return scaled.astype(dtype, copy=False)
    if dtype.kind == "i":
        return quantise(samples).astype(dtype, copy=False)
    return samples.astype(dtype)


def as_frames(audio: NDArray[Any]) -> NDArray[Any]:
    """Views mono (n,) or (n, channels) audio as (n, channels), checking its type."""
    if not isinstance(audio, np.ndarray):
        raise TypeError(f"audio must be a NumPy array, not {type(audio).__name__}")
    check_audio_dtype(audio.dtype)
    if audio.ndim == 1:
        return audio[:, np.newaxis]
    if audio.ndim == 2 and audio.shape[1] > 0:
        check_channels(audio.shape[1], audio.shape)
        return audio
    raise ValueError(f"audio must have shape (n,) or (n, channels), not {audio.shape}")
