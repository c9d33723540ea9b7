"""Local usage telemetry: per-block timing aggregated in constant memory.

:class:`TelemetryReporter` is fed once per processed block (every 10 ms of
audio) and must stay cheap: one lock, a few integer operations and a histogram
bucket found with ``int.bit_length()``. It hands a single
:class:`TelemetrySummary` to its sink on :meth:`TelemetryReporter.close`.
:class:`TelemetryClient` is that sink: it keeps what it receives in memory and
logs it; it opens no socket and writes no file.
"""

from __future__ import annotations

import dataclasses
import logging
import math
import threading
from typing import NoReturn, Protocol

__all__ = [
    "HISTOGRAM_RELATIVE_ERROR",
    "TelemetryClient",
    "TelemetryReporter",
    "TelemetrySink",
    "TelemetrySummary",
]

_logger = logging.getLogger("orlune.telemetry")

# Inference-time histogram, in nanoseconds. Durations below 2**_SUB_BITS+1 ns
# get a bucket each; above that every power-of-two octave is cut into
# 2**_SUB_BITS equal buckets, so a bucket is at most 1/16 (6.25 %) wider than
# its lower bound. Durations from 2**_TOP_OCTAVE ns (about 137 s) up share
# the last bucket.
_SUB_BITS = 4
_EXACT_LIMIT = 1 << (_SUB_BITS + 1)
_TOP_OCTAVE = 37
_TOP_NS = 1 << _TOP_OCTAVE
_SHIFT_BIAS = _SUB_BITS + 1


def _bucket_of(duration_ns: int) -> int:
    """Histogram bucket of a duration; ``record_block`` inlines the same arithmetic."""
    if duration_ns < _EXACT_LIMIT:
        return duration_ns
    if duration_ns >= _TOP_NS:
        return _LAST_BUCKET
    shift = duration_ns.bit_length() - _SHIFT_BIAS
    return (shift << _SUB_BITS) + (duration_ns >> shift)


def _bucket_bounds(bucket: int) -> tuple[int, int]:
    """Half-open ``[low, high)`` range of durations in ``bucket``."""
    if bucket < _EXACT_LIMIT:
        return bucket, bucket + 1
    shift = (bucket >> _SUB_BITS) - 1
    mantissa = (bucket & ((1 << _SUB_BITS) - 1)) | (1 << _SUB_BITS)
    return mantissa << shift, (mantissa + 1) << shift


_LAST_BUCKET = _bucket_of(_TOP_NS - 1)
_BUCKET_COUNT = _LAST_BUCKET + 1
# A percentile is reported as its bucket's geometric mid-point, which lies within
# this relative distance of every duration the bucket holds.
HISTOGRAM_RELATIVE_ERROR = math.sqrt(1 + 2.0**-_SUB_BITS) - 1
_BUCKET_MIDPOINTS = tuple(
    float(low) if high - low == 1 else math.sqrt(low * high)
    for low, high in map(_bucket_bounds, range(_BUCKET_COUNT))
)


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class TelemetrySummary:
    """Aggregate figures for the blocks recorded so far; all zero before the first.

    ``inference_ns_p50`` and ``inference_ns_p95`` are nearest-rank percentiles
    read from the histogram: the geometric mid-point of the bucket holding
    that rank (capped at the maximum), within ``HISTOGRAM_RELATIVE_ERROR``
    (about 3.1 %) of the exact value. ``real_time_factor`` is total inference
    time over total audio time: below 1 means faster than real time.
    """

    sdk_version: str
    blocks: int
    samples: int
    audio_seconds: float
    inference_ns_total: int
    inference_ns_mean: float
    inference_ns_max: int
    inference_ns_p50: float
    inference_ns_p95: float
    real_time_factor: float


class TelemetrySink(Protocol):
    """Receives the closing summary of a :class:`TelemetryReporter`."""

    def submit(self, summary: TelemetrySummary) -> None: ...


class TelemetryClient:
    """A local sink: keeps every summary it receives and logs each at DEBUG.

    The log record on the ``orlune.telemetry`` logger carries each summary
    field as an attribute (``extra``), for handlers that want the figures.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._summaries: list[TelemetrySummary] = []

    @property
    def summaries(self) -> tuple[TelemetrySummary, ...]:
        with self._lock:
            return tuple(self._summaries)

    def submit(self, summary: TelemetrySummary) -> None:
        with self._lock:
            self._summaries.append(summary)
        if _logger.isEnabledFor(logging.DEBUG):
            _logger.debug(
                "telemetry: sdk %s, %d blocks, %.3f s audio, inference mean %.0f ns, "
                "p50 %.0f ns, p95 %.0f ns, max %d ns, real-time factor %.4f",
                summary.sdk_version,
                summary.blocks,
                summary.audio_seconds,
                summary.inference_ns_mean,
                summary.inference_ns_p50,
                summary.inference_ns_p95,
                summary.inference_ns_max,
                summary.real_time_factor,
                extra=dataclasses.asdict(summary),
            )


class TelemetryReporter:
    """Aggregates per-block timings and reports them once, on :meth:`close`.

    Safe to call from several threads. After :meth:`close`, :meth:`record_block`
    is silently ignored (telemetry must never break audio processing) and
    :meth:`snapshot` keeps returning the closing figures.
    """

    __slots__ = (
        "_blocks",
        "_closed",
        "_completed_runs_seconds",
        "_histogram",
        "_inference_ns_max",
        "_inference_ns_total",
        "_lock",
        "_run_sample_rate",
        "_run_samples",
        "_samples",
        "_sdk_version",
        "_sink",
    )

    def __init__(self, *, sink: TelemetrySink, sdk_version: str) -> None:
        if not isinstance(sdk_version, str):
            raise TypeError("sdk_version must be a str")
        self._sink = sink
        self._sdk_version = sdk_version
        self._lock = threading.Lock()
        self._closed = False
        self._blocks = 0
        self._samples = 0
        self._inference_ns_total = 0
        self._inference_ns_max = 0
        self._histogram = [0] * _BUCKET_COUNT
        # Audio time is summed exactly, as samples, over a run of blocks at one
        # rate; a change of rate folds the run into seconds.
        self._run_sample_rate = 0
        self._run_samples = 0
        self._completed_runs_seconds = 0.0

    def record_block(
        self, *, sample_rate_hz: int, block_samples: int, inference_duration_ns: int
    ) -> None:
        """Account one processed block of ``block_samples`` samples at ``sample_rate_hz``."""
        if not (
            type(sample_rate_hz) is int
            and type(block_samples) is int
            and type(inference_duration_ns) is int
            and sample_rate_hz > 0
            and block_samples >= 0
            and inference_duration_ns >= 0
        ):
            _reject(sample_rate_hz, block_samples, inference_duration_ns)
        # Same arithmetic as _bucket_of, inlined: a call costs as much as the rest.
        if inference_duration_ns < _EXACT_LIMIT:
            bucket = inference_duration_ns
        elif inference_duration_ns < _TOP_NS:
            shift = inference_duration_ns.bit_length() - _SHIFT_BIAS
            bucket = (shift << _SUB_BITS) + (inference_duration_ns >> shift)
        else:
            bucket = _LAST_BUCKET
        with self._lock:
            if self._closed:
                return
            self._blocks += 1
            self._samples += block_samples
            self._inference_ns_total += inference_duration_ns
            if inference_duration_ns > self._inference_ns_max:
                self._inference_ns_max = inference_duration_ns
            self._histogram[bucket] += 1
            if sample_rate_hz != self._run_sample_rate:
                if self._run_samples:
                    self._completed_runs_seconds += self._run_samples / self._run_sample_rate
                self._run_sample_rate = sample_rate_hz
                self._run_samples = 0
            self._run_samples += block_samples

    def snapshot(self) -> TelemetrySummary:
        """The figures so far, without closing."""
        with self._lock:
            state = self._copy_state_locked()
        return _summarise(state)

    def close(self) -> None:
        """Hand the summary to the sink; only the first call does anything."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            state = self._copy_state_locked()
        # Outside the lock: the sink is foreign code and may take its time.
        self._sink.submit(_summarise(state))

    def _copy_state_locked(self) -> _ReporterState:
        audio_seconds = self._completed_runs_seconds
        if self._run_samples:
            audio_seconds += self._run_samples / self._run_sample_rate
        # Copy only: the summary is worked out after the lock is released, so
        # record_block callers wait for a list copy, not for the percentiles.
        return _ReporterState(
            sdk_version=self._sdk_version,
            blocks=self._blocks,
            samples=self._samples,
            audio_seconds=audio_seconds,
            inference_ns_total=self._inference_ns_total,
            inference_ns_max=self._inference_ns_max,
            histogram=self._histogram.copy(),
        )


@dataclasses.dataclass(frozen=True, slots=True, kw_only=True)
class _ReporterState:
    sdk_version: str
    blocks: int
    samples: int
    audio_seconds: float
    inference_ns_total: int
    inference_ns_max: int
    histogram: list[int]


def _summarise(state: _ReporterState) -> TelemetrySummary:
    blocks = state.blocks
    return TelemetrySummary(
        sdk_version=state.sdk_version,
        blocks=blocks,
        samples=state.samples,
        audio_seconds=state.audio_seconds,
        inference_ns_total=state.inference_ns_total,
        inference_ns_mean=state.inference_ns_total / blocks if blocks else 0.0,
        inference_ns_max=state.inference_ns_max,
        inference_ns_p50=_percentile(state, 50),
        inference_ns_p95=_percentile(state, 95),
        real_time_factor=(
            state.inference_ns_total / 1e9 / state.audio_seconds if state.audio_seconds else 0.0
        ),
    )


def _percentile(state: _ReporterState, percent: int) -> float:
    if not state.blocks:
        return 0.0
    rank = max(1, -(-state.blocks * percent // 100))  # nearest rank, 1-based
    seen = 0
    for bucket, count in enumerate(state.histogram):
        seen += count
        if seen >= rank:
            return min(_BUCKET_MIDPOINTS[bucket], float(state.inference_ns_max))
    raise AssertionError("histogram counts disagree with the block count")


def _reject(sample_rate_hz: object, block_samples: object, inference_duration_ns: object) -> NoReturn:
    """Raise the precise error for arguments the fast check in ``record_block`` refused."""
    checks = (
        ("sample_rate_hz", sample_rate_hz, 1),
        ("block_samples", block_samples, 0),
        ("inference_duration_ns", inference_duration_ns, 0),
    )
    for name, value, minimum in checks:
        if type(value) is not int:  # bool and other int subclasses are refused too
            raise TypeError(f"{name} must be an int, got {type(value).__name__}")
        if value < minimum:
            raise ValueError(f"{name} must be at least {minimum}, got {value}")
    raise AssertionError("record_block refused valid arguments")
