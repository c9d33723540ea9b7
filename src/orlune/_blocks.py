"""Per-channel engine processors behind a buffer that feeds them whole blocks."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._model_store import PinnedModelStore
from ._processor import OrluneProcessor


def _open_processor(
    sample_rate: int, attenuation_limit_db: float, model_store: PinnedModelStore | None
) -> OrluneProcessor:
    processor = OrluneProcessor(attenuation_limit_db=attenuation_limit_db, _model_store=model_store)
    try:
        processor.initialize(sample_rate)
    except BaseException:
        processor.close()
        raise
    return processor


class EngineBlocks:
    """Runs each channel through its own processor, a whole block at a time.

    Audio is channels-first int16 at an engine rate. Samples wait here until a
    whole block is available; the output is the engine's, `latency` samples
    behind its input (aligning it is the pipeline's business).

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
        model_store: PinnedModelStore | None = None,
        keep_trace: bool = False,
    ) -> None:
        self._processors: list[OrluneProcessor] = []
        try:
            for _ in range(channels):
                self._processors.append(
                    _open_processor(sample_rate, attenuation_limit_db, model_store)
                )
            self.frame_length: int = self._processors[0].frame_length
            self.latency: int = self._session(0).latency_samples
        except BaseException:
            self.close()
            raise
        self._pending = np.empty((channels, 0), dtype=np.int16)
        self._audio = 0  # samples pushed that are audio, not the silence of `pad`
        self._processed = 0
        self.speech_probability = math.nan
        self.probability_sum = 0.0
        self.probability_frames = 0
        # Per-frame probabilities (the maximum over channels) for callers that plot them.
        self.trace: list[float] | None = [] if keep_trace else None

    def push(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        """Takes (channels, n) samples; returns the output of the blocks now complete."""
        self._audio += samples.shape[1]
        return self._run(np.concatenate((self._pending, samples), axis=1))

    def pad(self, count: int) -> NDArray[np.int16]:
        """Pushes at least `count` samples of silence, completing the last block."""
        to_feed = -(-(self._pending.shape[1] + count) // self.frame_length) * self.frame_length
        silence = np.zeros((len(self._processors), to_feed - self._pending.shape[1]), np.int16)
        return self._run(np.concatenate((self._pending, silence), axis=1))

    def close(self) -> None:
        for processor in self._processors:
            processor.close()

    @property
    def model(self) -> tuple[str, str] | None:
        """The id and version of the model bundle the engine loaded, if it loaded one."""
        artifact = getattr(self._processors[0], "_model_artifact", None)
        if artifact is None:
            return None
        return (artifact.model_id, artifact.model_version)

    def _session(self, channel: int) -> Any:
        return self._processors[channel]._session

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
                probability = self._session(channel).speech_probability
                frame_probability = max(frame_probability, probability)
            # Only frames that hold audio count; the rest is the silence of `pad`.
            if self._processed + start < self._audio:
                self._note_probability(frame_probability)
        self._pending = buffer[:, blocks * size :].copy()
        self._processed += blocks * size
        return out

    def _note_probability(self, probability: float) -> None:
        self.speech_probability = probability
        self.probability_sum += probability
        self.probability_frames += 1
        if self.trace is not None:
            self.trace.append(probability)
