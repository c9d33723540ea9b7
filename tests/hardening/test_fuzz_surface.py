"""The audio entry points under arbitrary input: a right answer or a clean error, input untouched.

Runs in this interpreter on the installed engine, whatever it is. Every call
goes to a fresh subject and its answer is compared with a fresh twin fed the
same samples as a plain contiguous native-order array. After every call,
accepted or refused, subject and twin get one more valid block and must still
agree, so a refused call has fed the engine nothing.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from numpy.typing import NDArray

from .inputs import (
    FUZZ_SETTINGS,
    RaisingDtype,
    arrays,
    audio_shapes,
    block_shapes,
    plain_objects,
    snapshot,
)

pytestmark = pytest.mark.filterwarnings("ignore::orlune._denoise.ClippedInputWarning")

# What a refused call may raise. SystemError (a native error path that forgot
# to set an exception) and anything not derived from Exception are faults.
CLEAN_ERRORS = (TypeError, ValueError, AttributeError, RuntimeError, OverflowError, LookupError)
RATE = 48000


def _model_path() -> Path:
    from orlune import _orlune_nc

    return Path(_orlune_nc.__file__).parent / "resources" / "models" / "orlune-nc-default.bin"


@contextmanager
def _twins(make: Callable[[], Any]) -> Iterator[tuple[Any, Any]]:
    subject, twin = make(), make()
    try:
        yield subject, twin
    finally:
        subject.close()
        twin.close()


def _processor() -> Any:
    from orlune import OrluneProcessor

    processor = OrluneProcessor()
    processor.initialize(RATE)
    return processor


def _session() -> Any:
    from orlune._orlune_nc import OrluneNC

    return OrluneNC(sample_rate=RATE, attenuation_limit_db=100.0, model_path=_model_path())


def _attempt(function: Callable[[Any], Any], value: object) -> tuple[Any, BaseException | None]:
    """Calls `function(value)`; checks that it only raised a clean error and left `value` alone."""
    before = snapshot(value)
    try:
        result, error = function(value), None
    except CLEAN_ERRORS as caught:
        result, error = None, caught
    assert snapshot(value) == before, "the input was modified"
    return result, error


def _draw_block_input(data: st.DataObject, frame_length: int) -> object:
    drawn = st.one_of(
        arrays(frame_length, block_shapes).map(lambda pair: pair[0]), plain_objects(frame_length)
    )
    return data.draw(drawn, label="samples")


def _still_in_step(subject: Callable[[Any], Any], twin: Callable[[Any], Any], n: int) -> None:
    block = np.random.default_rng(n).integers(-32768, 32768, n, dtype=np.int16)
    assert np.array_equal(subject(block), twin(block)), "a refused call changed the stream"


def _declares_a_block(value: object, n: int, whole_blocks: bool) -> bool:
    """An object that is no ndarray but says it holds int16 samples (`dtype`), as many
    as a call takes (`size`), and is read as such by NumPy: it must be accepted."""
    size = getattr(value, "size", None)
    if getattr(value, "dtype", None) != np.int16 or not isinstance(size, int) or size <= 0:
        return False
    samples = np.asarray(value)
    return (
        samples.dtype == np.int16 and samples.shape == (size,)
        and (size % n == 0 if whole_blocks else size == n)
    )  # fmt: skip


def _check_block_answer(value: object, result: Any, error: BaseException | None, n: int,
                        twin: Callable[[Any], Any], *, whole_blocks: bool) -> None:
    """Shared rules of process and process_frame: plain int16 arrays of the right size
    are enhanced as the twin enhances them; anything else may be refused, and if it is
    accepted it must be read as the int16 samples NumPy makes of it."""
    if isinstance(value, RaisingDtype):
        assert isinstance(error, LookupError)
        return
    if type(value) is np.ndarray:
        size_ok = value.size % n == 0 if whole_blocks else value.size == n
        if value.dtype != np.int16 or not size_ok or (value.ndim != 1 and value.size):
            assert isinstance(error, ValueError), error
            return
        assert error is None, f"a valid block was refused: {error!r}"
        assert type(result) is np.ndarray and result.dtype == np.int16
        assert result.shape == value.shape and not np.shares_memory(result, value)
        assert np.array_equal(result, twin(np.ascontiguousarray(value))), "wrong samples"
        return
    if error is not None:
        assert not _declares_a_block(value, n, whole_blocks), f"refused {value!r}: {error!r}"
        return
    try:
        samples = np.array(value, dtype=np.int16).reshape(-1)
    except CLEAN_ERRORS:
        # process() follows an object's own `size`: one that claims no block at all
        # (0 or fewer samples) gets its empty_like back and the engine runs nothing.
        assert whole_blocks and getattr(value, "size", 1) <= 0, f"accepted {value!r}: not audio"
        return
    assert (samples.size % n == 0 if whole_blocks else samples.size == n), "wrong length accepted"
    assert np.array_equal(np.asarray(result).reshape(-1), twin(samples)), "wrong samples"


@pytest.mark.parametrize(
    ("make", "method", "whole_blocks"),
    [(_processor, "process", True), (_session, "process_frame", False)],
    ids=["OrluneProcessor.process", "OrluneNC.process_frame"],
)
@FUZZ_SETTINGS
@given(data=st.data())
def test_block_entry_point_answers_or_refuses_cleanly(
    make: Callable[[], Any], method: str, whole_blocks: bool, data: st.DataObject
) -> None:
    with _twins(make) as (subject, twin):
        n = subject.frame_length
        value = _draw_block_input(data, n)
        call, twin_call = getattr(subject, method), getattr(twin, method)
        result, error = _attempt(call, value)
        _check_block_answer(value, result, error, n, twin_call, whole_blocks=whole_blocks)
        _still_in_step(call, twin_call, n)


def _is_audio(value: object) -> bool:
    if not isinstance(value, np.ndarray):
        return False
    dtype = value.dtype
    return (dtype.kind == "f" or (dtype.kind == "i" and dtype.itemsize == 2)) and (
        value.ndim == 1 or (value.ndim == 2 and value.shape[1] > 0)
    )


def _native(audio: NDArray[Any]) -> NDArray[Any]:
    """The same samples as a plain C-contiguous array in native byte order."""
    return np.array(audio, dtype=audio.dtype.newbyteorder("="), order="C", subok=False)


def _same_audio(a: NDArray[Any], b: NDArray[Any]) -> bool:
    return a.shape == b.shape and np.array_equal(_native(a), _native(b), equal_nan=True)


RATES = [48000, 16000, 11025]  # two engine rates and a resampled one


@FUZZ_SETTINGS
@given(data=st.data(), rate=st.sampled_from(RATES))
def test_denoise_answers_or_refuses_cleanly(data: st.DataObject, rate: int) -> None:
    from orlune import denoise

    n = rate // 100
    drawn = st.one_of(arrays(n, audio_shapes).map(lambda pair: pair[0]), plain_objects(n))
    value = data.draw(drawn, label="audio")
    result, error = _attempt(lambda audio: denoise(audio, rate), value)
    if not _is_audio(value):
        assert isinstance(error, (TypeError, ValueError)), error
        return
    assert error is None, f"valid audio was refused: {error!r}"
    assert result.dtype == value.dtype and result.shape == value.shape
    assert _same_audio(result, denoise(_native(value), rate))


AUDIO_DTYPES = [np.dtype(code) for code in ("i2", "f2", "f4", "f8", "u2", "i4")]


@FUZZ_SETTINGS
@given(data=st.data(), rate=st.sampled_from(RATES), channels=st.sampled_from([1, 2]))
def test_stream_loses_nothing_whatever_the_chunks(
    data: st.DataObject, rate: int, channels: int
) -> None:
    """Refused chunks change nothing; the accepted ones come out as one-shot denoise gives them."""
    from orlune import StreamDenoiser, denoise

    n = rate // 100
    dtype = data.draw(st.sampled_from(AUDIO_DTYPES), label="dtype")
    chunk = arrays(n, audio_shapes, dtypes=[dtype]).map(lambda pair: pair[0])
    chunks = data.draw(st.lists(st.one_of(chunk, plain_objects(n)), min_size=1, max_size=4))
    accepted: list[NDArray[Any]] = []
    outputs: list[NDArray[Any]] = []
    with StreamDenoiser(rate, channels) as stream:
        for value in chunks:
            result, error = _attempt(stream.process, value)
            fits = _is_audio(value) and (1 if value.ndim == 1 else value.shape[1]) == channels
            assert (error is None) == fits, f"{'refused' if fits else 'accepted'}: {error!r}"
            if error is not None:
                continue
            assert isinstance(value, np.ndarray) and result.dtype == value.dtype
            assert result.ndim == value.ndim
            accepted.append(_native(value).reshape(-1, channels))
            outputs.append(_native(result).reshape(-1, channels))
        outputs.append(_native(stream.flush()).reshape(-1, channels))
    if not accepted:
        assert outputs[-1].size == 0
        return
    whole = np.concatenate(accepted)
    assert np.array_equal(np.concatenate(outputs), denoise(whole, rate), equal_nan=True)
