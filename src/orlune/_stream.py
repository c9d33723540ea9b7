"""`orlune.StreamDenoiser`: noise suppression of audio that arrives in chunks."""

from __future__ import annotations

import math
import threading
import warnings
from types import TracebackType
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from ._checks import ClippedInputWarning
from ._model_store import DEFAULT_MODEL_ID
from ._pipeline import DenoisePipeline, as_frames

_Audio = TypeVar("_Audio", bound="np.int16 | np.floating[Any]")


class StreamDenoiser:
    """Suppresses noise in a stream of chunks of any length.

    `sample_rate` is a whole number of Hz from 1000 to 768000 and `channels` from
    1 to 64; anything else is refused with a `ValueError` at construction.
    `attenuation_limit_db` and `model` are as for `orlune.denoise`: a limit
    above the model's deepest suppression (20 dB for the statistical engine)
    gives the same output as that maximum, and an unknown model id raises
    `orlune.UnknownModelError`, naming the ids there are.

    `process(chunk)` returns the enhanced audio that is ready, in the chunk's
    dtype and layout; `flush()` returns the rest and ends the stream. All the
    output together is sample for sample what `orlune.denoise` gives for the
    whole stream at once. Calls from several threads are taken one at a time,
    in the order they get the stream's lock.
    """

    def __init__(
        self,
        sample_rate: int,
        channels: int = 1,
        *,
        attenuation_limit_db: float = 100.0,
        model: str = DEFAULT_MODEL_ID,
    ) -> None:
        self._pipeline = DenoisePipeline(sample_rate, channels, attenuation_limit_db, model=model)
        # The pipeline's buffers and counters are updated across engine calls that
        # release the GIL: two threads inside it at once would lose or repeat audio.
        self._lock = threading.Lock()
        self._last_dtype: np.dtype[Any] = np.dtype(np.int16)
        self._last_mono = channels == 1
        self._warned = False
        self._closed = False

    @property
    def sample_rate(self) -> int:
        return self._pipeline.sample_rate

    @property
    def channels(self) -> int:
        return self._pipeline.channels

    @property
    def model(self) -> str:
        """The id of the model this stream runs."""
        return self._pipeline.model_id

    @property
    def latency_samples(self) -> int:
        """The most frames, at `sample_rate`, that `process` holds back.

        After any `process` calls the output so far covers all the input but at
        most `latency_samples` frames. At the engine's own rates this is the
        engine's delay plus a block waiting to fill, and it is reached; at other
        rates it adds what the two resamplers may hold (soxr works in steps of
        tens of milliseconds), measured once per rate in each process.
        """
        return self._pipeline.latency_samples

    @property
    def speech_probability(self) -> float:
        """Speech presence probability (0 to 1) of the latest engine frame, the
        highest over the channels; NaN before the first frame."""
        return self._pipeline.speech_probability if not self._closed else math.nan

    def process(self, chunk: NDArray[_Audio]) -> NDArray[_Audio]:
        """Takes ``(n,)`` (mono) or ``(n, channels)`` audio, int16 or float; returns
        the enhanced audio that is ready, in the same dtype and number of dimensions."""
        with self._lock:
            self._check_open()
            frames = as_frames(chunk)
            if frames.shape[1] != self.channels:
                raise ValueError(
                    f"expected {self.channels} channels, got a chunk of shape {chunk.shape}"
                )
            out = self._pipeline.push(frames)
            self._last_dtype = chunk.dtype
            self._last_mono = chunk.ndim == 1
            warning = None
            if self._pipeline.clipped and not self._warned:
                warning, self._warned = self._pipeline.clipped.message(), True
            shaped = self._shaped(out)
        if warning is not None:
            warnings.warn(warning, ClippedInputWarning, stacklevel=2)
        return shaped

    def flush(self) -> NDArray[Any]:
        """Returns the rest of the enhanced audio (dtype and layout of the last chunk;
        int16 when there was none) and ends the stream."""
        with self._lock:
            self._check_open()
            return self._shaped(self._pipeline.finish(self._last_dtype))

    def close(self) -> None:
        """Releases the engine streams; audio not flushed is dropped. Safe to repeat."""
        with self._lock:
            if not self._closed:
                self._closed = True
                self._pipeline.close()

    def __enter__(self) -> StreamDenoiser:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def _shaped(self, frames: NDArray[Any]) -> NDArray[Any]:
        out = frames[:, 0] if self._last_mono else frames
        return out.astype(self._last_dtype, copy=False)

    def _check_open(self) -> None:
        if self._closed:
            raise RuntimeError("StreamDenoiser has been closed")
