"""A stand-in for the engine with a known, non-zero delay and no other effect, so that
alignment can be checked sample for sample whatever the real engine does."""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np
import pytest
from numpy.typing import NDArray

from orlune._checks import quantise

LATENCY = 173  # not a multiple of any block length


class _Session:
    def __init__(self) -> None:
        self.speech_probability = float("nan")
        self.latency_samples = LATENCY


class DelayingProcessor:
    """Gives its input back LATENCY samples late; a block's speech probability is its
    mean absolute value over full scale."""

    instances: list[DelayingProcessor] = []

    def __init__(self, *, attenuation_limit_db: float = 100.0, _model_store: object = None) -> None:
        self.closed = False
        DelayingProcessor.instances.append(self)

    def initialize(self, sample_rate: int) -> None:
        self.frame_length = sample_rate // 100
        self._line = np.zeros(LATENCY, dtype=np.int16)
        self._session = _Session()

    def process(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        assert samples.dtype == np.int16 and samples.size % self.frame_length == 0
        line = np.concatenate((self._line, samples))
        self._line = line[samples.size :]
        self._session.speech_probability = float(np.abs(samples / 32768).mean())
        return line[: samples.size].copy()

    def close(self) -> None:
        self.closed = True


@pytest.fixture
def delaying_engine(monkeypatch: pytest.MonkeyPatch) -> Iterator[type[DelayingProcessor]]:
    DelayingProcessor.instances = []
    monkeypatch.setattr("orlune._blocks.OrluneProcessor", DelayingProcessor)
    yield DelayingProcessor


def speech_like(
    frames: int, rate: int, channels: int = 1, *, noise: float = 0.02, seed: int = 0
) -> NDArray[np.float64]:
    """A 2 kHz tone with seeded noise, (frames, channels), well within full scale. A shift
    of one sample changes the tone by 0.02 (at 96 kHz) to 0.3 (at 11 kHz) rms."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames)[:, np.newaxis] / rate
    tone = 0.3 * np.sin(2 * np.pi * 2000 * t + np.arange(channels))
    return tone + noise * rng.standard_normal((frames, channels))


def as_pcm16(audio: NDArray[np.float64]) -> NDArray[np.int16]:
    return quantise(audio)
