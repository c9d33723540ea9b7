"""Per-channel engine processors behind a block buffer that hides the engine's delay."""

from __future__ import annotations

import ctypes
import math
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._processor import OrluneProcessor


def _open_processor(sample_rate: int, attenuation_limit_db: float) -> OrluneProcessor:
    processor = OrluneProcessor(attenuation_limit_db=attenuation_limit_db)
    try:
        processor.initialize(sample_rate)
    except BaseException:
        processor.close()
        raise
    return processor


def _native_session(processor: OrluneProcessor) -> Any:
    return processor._session


def engine_latency(processor: OrluneProcessor) -> int:
    """The engine's constant delay for this processor's stream, in samples."""
    session = _native_session(processor)
    # Indexing the CDLL gives a fresh function object, so setting its prototype
    # leaves the one the binding shares between sessions untouched.
    get_latency = session._lib["kelvo_nc_get_latency"]
    get_latency.argtypes = [ctypes.c_void_p]
    get_latency.restype = ctypes.c_size_t
    return int(get_latency(session._session))


class EngineBlocks:
    """Runs each channel through its own processor and returns output aligned with the input.

    Audio is channels-first int16 at an engine rate. Samples wait here until a
    whole block is available; the engine's delay is dropped from the start of the
    output and flushed out with silence by `finish`, so the output has exactly
    as many samples as the input, sample for sample in time.

    Blocks go to the processors one per call so that the speech probability of
    every frame can be read (the session keeps only the last frame's value);
    the extra call costs microseconds against 10 ms of audio.
    """

    def __init__(
        self,
        sample_rate: int,
        channels: int,
        attenuation_limit_db: float,
        *,
        keep_trace: bool = False,
    ) -> None:
        self._processors: list[OrluneProcessor] = []
        try:
            for _ in range(channels):
                self._processors.append(_open_processor(sample_rate, attenuation_limit_db))
            self.frame_length: int = self._processors[0].frame_length
            self.latency: int = engine_latency(self._processors[0])
        except BaseException:
            self.close()
            raise
        self._pending = np.empty((channels, 0), dtype=np.int16)
        self._to_skip = self.latency
        self._received = 0
        self._processed = 0
        self._emitted = 0
        self.speech_probability = math.nan
        self.probability_sum = 0.0
        self.probability_frames = 0
        # Per-frame probabilities (the maximum over channels) for callers that plot them.
        self.trace: list[float] | None = [] if keep_trace else None

    def push(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        """Takes (channels, n) samples; returns the aligned output that is ready."""
        self._received += samples.shape[1]
        return self._run(np.concatenate((self._pending, samples), axis=1))

    def finish(self) -> NDArray[np.int16]:
        """Pads with silence to carry the last samples through the engine; returns the rest."""
        # Every input sample must have gone through the engine plus `latency` more.
        to_feed = self._received + self.latency - self._processed
        if self._received == 0 or to_feed <= 0:
            return np.empty((len(self._processors), 0), dtype=np.int16)
        fed = -(-to_feed // self.frame_length) * self.frame_length
        silence = np.zeros((len(self._processors), fed - self._pending.shape[1]), dtype=np.int16)
        return self._run(np.concatenate((self._pending, silence), axis=1))

    def close(self) -> None:
        for processor in self._processors:
            processor.close()

    def _run(self, buffer: NDArray[np.int16]) -> NDArray[np.int16]:
        size = self.frame_length
        blocks = buffer.shape[1] // size
        out = np.empty((buffer.shape[0], blocks * size), dtype=np.int16)
        for block in range(blocks):
            start = block * size
            frame_probability = -math.inf
            for channel, processor in enumerate(self._processors):
                out[channel, start : start + size] = processor.process(
                    buffer[channel, start : start + size]
                )
                frame_probability = max(
                    frame_probability, _native_session(processor).speech_probability
                )
            # Only frames that hold input count; the rest is the silence of `finish`.
            if self._processed + start < self._received:
                self._note_probability(frame_probability)
        self._pending = buffer[:, blocks * size :].copy()
        self._processed += blocks * size

        skip = min(self._to_skip, out.shape[1])
        self._to_skip -= skip
        out = out[:, skip : skip + self._received - self._emitted]
        self._emitted += out.shape[1]
        return out

    def _note_probability(self, probability: float) -> None:
        self.speech_probability = probability
        self.probability_sum += probability
        self.probability_frames += 1
        if self.trace is not None:
            self.trace.append(probability)
