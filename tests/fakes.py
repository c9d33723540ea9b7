"""Recording stand-ins for the processor's collaborators."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray


@dataclass
class FakeSession:
    """Adds the block's index (times `scale`) to every sample, so block order is visible."""

    frame_length: Any = 480
    scale: int = 1
    calls: list[NDArray[np.int16]] = field(default_factory=list)
    closed: int = 0

    def process_frame(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        self.calls.append(np.array(samples, copy=True))
        return (samples + self.scale * len(self.calls)).astype(np.int16)

    def close(self) -> None:
        self.closed += 1


@dataclass
class RecordingReporter:
    records: list[dict[str, int]] = field(default_factory=list)
    closed: int = 0
    fail_at: int | None = None

    def record_block(self, *, sample_rate_hz: int, block_samples: int, inference_duration_ns: int) -> None:
        if self.fail_at is not None and len(self.records) == self.fail_at:
            raise OSError("telemetry sink is gone")
        self.records.append(
            {"sample_rate_hz": sample_rate_hz, "block_samples": block_samples,
             "inference_duration_ns": inference_duration_ns}
        )

    def close(self) -> None:
        self.closed += 1


@dataclass
class RecordingStore:
    artifact_path: Path
    manifests: list[Any] = field(default_factory=list)

    def resolve(self, manifest: Any) -> Any:
        self.manifests.append(manifest)
        return _Artifact(self.artifact_path)


@dataclass(frozen=True)
class _Artifact:
    path: Path


def stepping_clock(*readings: int) -> Callable[[], int]:
    """A clock that returns the given readings in turn."""
    values: Iterator[int] = iter(readings)
    return lambda: next(values)
