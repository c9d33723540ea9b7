"""TEMPORARY stand-in for orlune._processor.OrluneProcessor until it lands; removed on merge."""

from __future__ import annotations

from importlib.resources import files
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from ._orlune_nc import OrluneNC


class OrluneProcessor:
    def __init__(self, *, attenuation_limit_db: float = 100.0) -> None:
        self._limit = attenuation_limit_db
        self._session: OrluneNC | None = None

    def initialize(self, sample_rate: int) -> None:
        bundle = Path(str(files("orlune") / "resources/models/orlune-nc-default.bin"))
        self._session = OrluneNC(
            sample_rate=sample_rate, attenuation_limit_db=self._limit, model_path=bundle
        )

    @property
    def frame_length(self) -> int:
        assert self._session is not None
        return int(self._session.frame_length)

    def process(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        assert self._session is not None
        n = self._session.frame_length
        out = np.empty_like(samples)
        for start in range(0, samples.size, n):
            out[start : start + n] = self._session.process_frame(samples[start : start + n])
        return out

    def close(self) -> None:
        if self._session is not None:
            self._session.close()
