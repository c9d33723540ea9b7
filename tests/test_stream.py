"""orlune.StreamDenoiser: chunked streaming gives exactly the whole-file samples."""

from __future__ import annotations

import math
from collections.abc import Iterator
from typing import Any

import numpy as np
import pytest
from numpy.typing import NDArray

import orlune
from tests.delaying_engine import LATENCY, DelayingProcessor, as_pcm16, delaying_engine, speech_like

__all__ = ["delaying_engine"]


@pytest.fixture(params=["real", "delaying"])
def engine(request: pytest.FixtureRequest) -> str:
    if request.param == "delaying":
        request.getfixturevalue("delaying_engine")
    return str(request.param)


def _chunks(frames: int, seed: int) -> Iterator[slice]:
    """Seeded chunk sizes from empty to several blocks, starting with single samples."""
    rng = np.random.default_rng(seed)
    position = 0
    while position < frames:
        size = 1 if position < 1000 else int(rng.integers(0, 3000))
        yield slice(position, position + size)
        position += size


def _stream(audio: NDArray[Any], rate: int, channels: int, seed: int) -> NDArray[Any]:
    with orlune.StreamDenoiser(rate, channels) as stream:
        parts = [stream.process(audio[part]) for part in _chunks(len(audio), seed)]
        parts.append(stream.flush())
    return np.concatenate(parts)


@pytest.mark.parametrize("rate", [16000, 44100, 11025, 96000])
@pytest.mark.parametrize(
    ("channels", "dtype"), [(None, np.int16), (2, np.float32), (1, np.float64)]
)
@pytest.mark.parametrize("seed", [0, 1])
def test_chunked_stream_equals_whole_file(
    engine: str, rate: int, channels: int | None, dtype: type, seed: int
) -> None:
    audio = speech_like(rate // 3 + 11, rate, channels or 1, seed=seed)
    audio = as_pcm16(audio) if dtype is np.int16 else audio.astype(dtype)
    if channels is None:
        audio = audio[:, 0]

    streamed = _stream(audio, rate, channels or 1, seed)

    whole = orlune.denoise(audio, rate)
    assert streamed.dtype == whole.dtype and streamed.shape == whole.shape == audio.shape
    np.testing.assert_array_equal(streamed, whole)


@pytest.mark.parametrize("rate", [16000, 44100, 11025, 96000])
def test_latency_bounds_what_is_held_back(
    delaying_engine: type[DelayingProcessor], rate: int
) -> None:
    audio = as_pcm16(speech_like(rate // 2, rate))[:, 0]
    held_back = []
    with orlune.StreamDenoiser(rate) as stream:
        returned = 0
        for part in _chunks(len(audio), seed=5):
            returned += stream.process(audio[part]).size
            held_back.append(min(part.stop, len(audio)) - returned)
        assert returned + stream.flush().size == len(audio)
    if rate in (16000, 44100):  # an engine rate: the delay plus a block waiting to fill
        assert stream.latency_samples == LATENCY + rate // 100 - 1 == max(held_back)
    else:  # what the resamplers hold comes on top: a bound, if not always reached
        assert max(held_back) <= stream.latency_samples < 2 * max(held_back)


def test_speech_probability_is_latest_frame_highest_channel(
    delaying_engine: type[DelayingProcessor],
) -> None:
    audio = np.zeros((480, 2), dtype=np.int16)
    audio[320:, 1] = 16384  # only the right channel is loud, and only in the third block
    with orlune.StreamDenoiser(16000, 2) as stream:
        assert math.isnan(stream.speech_probability)
        stream.process(audio[:320])
        assert stream.speech_probability == 0.0
        stream.process(audio[320:])
        assert stream.speech_probability == 0.5
    assert all(p.closed for p in delaying_engine.instances)
    assert math.isnan(stream.speech_probability)


def test_flush_follows_the_last_chunk_and_ends_the_stream() -> None:
    with orlune.StreamDenoiser(16000, 1) as stream:
        assert stream.flush().shape == (0,) and stream.flush().dtype == np.int16
    with orlune.StreamDenoiser(16000, 1) as stream:
        ready = stream.process(np.full((250, 1), 0.25, dtype=np.float32))
        rest = stream.flush()
        assert rest.dtype == np.float32 and rest.ndim == 2
        assert len(ready) + len(rest) == 250
        with pytest.raises(RuntimeError, match="flushed"):
            stream.process(np.zeros((10, 1), dtype=np.float32))
    with pytest.raises(RuntimeError, match="closed"):
        stream.process(np.zeros(10, dtype=np.int16))
    stream.close()
    with orlune.StreamDenoiser(16000, 2) as stereo:
        for wrong in (
            np.zeros(10, np.int16),
            np.zeros((10, 3), np.int16),
            np.zeros((10, 2), np.uint8),
        ):
            with pytest.raises((ValueError, TypeError)):
                stereo.process(wrong)
