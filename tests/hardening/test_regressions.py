"""Faults found by the hardening work, each pinned by the input that showed it."""

from __future__ import annotations

import copy
import pickle
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import numpy as np
import pytest


def _numpy_with(**replacements: Any) -> SimpleNamespace:
    """A stand-in for the `np` that orlune._processor looks up at each call."""
    names = {name: getattr(np, name) for name in dir(np) if not name.startswith("__")}
    return SimpleNamespace(**(names | replacements))


# What a rebound `np` may hand the native block loop: before the fix it wrote
# and read these arrays as if they were the int16 result and input it expects.
REBOUND_NUMPY = {
    "result_too_short": (_numpy_with(empty_like=lambda samples: np.empty(1, np.int16)), np.int16),
    "result_read_only": (
        _numpy_with(empty_like=lambda samples: np.broadcast_to(np.int16(0), samples.shape)),
        np.int16,
    ),
    "int16_means_int8": (_numpy_with(int16=np.int8), np.int8),
}


@pytest.mark.parametrize(("numpy", "dtype"), REBOUND_NUMPY.values(), ids=REBOUND_NUMPY.keys())
def test_block_loop_never_trusts_arrays_from_a_rebound_numpy(
    monkeypatch: pytest.MonkeyPatch, numpy: SimpleNamespace, dtype: type
) -> None:
    import orlune._processor as processor_module

    processor = processor_module.OrluneProcessor()
    processor.initialize(48000)
    monkeypatch.setattr(processor_module, "np", numpy)
    samples = np.arange(4 * processor.frame_length, dtype=dtype)
    with pytest.raises(ValueError):
        processor.process(samples)
    processor.close()


def test_subclassed_chunk_at_a_resampled_rate_adds_no_phantom_audio() -> None:
    """A masked array used to fail half-way at a resampled rate, after its samples had
    been counted, so that flush() returned silence that was never put in."""
    from orlune import StreamDenoiser, denoise

    samples = np.arange(-300, 300, 7, dtype=np.int16)
    with StreamDenoiser(11025) as stream:
        out = np.concatenate([stream.process(np.ma.masked_array(samples)), stream.flush()])
    assert type(out) is np.ndarray and np.array_equal(out, denoise(samples, 11025))


def _session() -> Any:
    import orlune
    from orlune._orlune_nc import OrluneNC

    model = Path(orlune.__file__).parent / "resources" / "models" / "orlune-nc-default.bin"
    return OrluneNC(sample_rate=48000, attenuation_limit_db=100.0, model_path=model)


DUPLICATES: dict[str, Callable[[Any], object]] = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    "pickle_0": lambda session: pickle.dumps(session, protocol=0),
    "pickle_latest": lambda session: pickle.dumps(session, protocol=pickle.HIGHEST_PROTOCOL),
}


@pytest.mark.parametrize("duplicate", DUPLICATES.values(), ids=DUPLICATES.keys())
def test_a_session_cannot_be_copied_or_pickled(duplicate: Callable[[Any], object]) -> None:
    """A copy could only be an object without an engine stream: refused, in every protocol."""
    session = _session()
    with pytest.raises(TypeError, match="cannot pickle"):
        duplicate(session)
    session.close()
