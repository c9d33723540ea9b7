from __future__ import annotations

import dataclasses
import logging
import threading
from typing import Any

import numpy as np
import pytest

from orlune._telemetry import HISTOGRAM_RELATIVE_ERROR, TelemetryClient, TelemetryReporter

rng = np.random.default_rng(20240611)
DURATION_SETS = {
    "lognormal around 50 us": rng.lognormal(np.log(50_000), 0.6, 5_000),
    "heavy tail up to seconds": rng.pareto(1.2, 3_001) * 20_000 + 1_000,
    "exact small values": rng.integers(0, 40, 997),
    "five exact values": np.array([17, 1, 13, 5, 9]),
    "one block": np.array([123_456]),
}


def _reporter() -> tuple[TelemetryReporter, TelemetryClient]:
    client = TelemetryClient()
    return TelemetryReporter(sink=client, sdk_version="9.8.7"), client


def _record(reporter: TelemetryReporter, ns: Any, rate: Any = 48_000, samples: Any = 480) -> None:
    reporter.record_block(sample_rate_hz=rate, block_samples=samples, inference_duration_ns=ns)


@pytest.mark.parametrize("durations", DURATION_SETS.values(), ids=DURATION_SETS.keys())
def test_figures_match_numpy_within_the_histogram_resolution(durations: np.ndarray) -> None:
    durations = durations.astype(np.int64)
    reporter, client = _reporter()
    for duration in durations.tolist():
        _record(reporter, duration)
    reporter.close()
    (summary,) = client.summaries
    assert (summary.blocks, summary.samples) == (len(durations), 480 * len(durations))
    assert (summary.inference_ns_total, summary.inference_ns_max) == (durations.sum(), durations.max())
    assert summary.inference_ns_mean == pytest.approx(durations.mean(), rel=1e-12)
    assert summary.audio_seconds == pytest.approx(len(durations) * 0.01, rel=1e-12)
    assert summary.real_time_factor == pytest.approx(durations.sum() / 1e7 / len(durations), rel=1e-12)
    for reported, percent in ((summary.inference_ns_p50, 50), (summary.inference_ns_p95, 95)):
        exact = np.percentile(durations, percent, method="inverted_cdf")
        assert reported == pytest.approx(exact, rel=HISTOGRAM_RELATIVE_ERROR, abs=1e-9)


def test_mixed_sample_rates_sum_audio_time_per_block() -> None:
    reporter, _ = _reporter()
    blocks = [(48_000, 480), (16_000, 160), (44_100, 441), (48_000, 480), (8_000, 80), (22_050, 0)]
    for rate, samples in blocks * 1_000:
        _record(reporter, 500_000, rate, samples)
    summary = reporter.snapshot()
    assert summary.audio_seconds == pytest.approx(50.0, rel=1e-12)
    assert summary.real_time_factor == pytest.approx(6_000 * 500e-6 / 50.0, rel=1e-12)


def test_concurrent_recording_keeps_exact_totals() -> None:
    reporter, client = _reporter()
    threads, calls = 4, 5_000
    start = threading.Barrier(threads)

    def record(worker: int) -> None:
        start.wait()
        for call in range(calls):
            _record(reporter, call, rate=16_000 * (1 + worker % 2), samples=worker + 1)

    workers = [threading.Thread(target=record, args=(worker,)) for worker in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    reporter.close()
    (summary,) = client.summaries
    assert (summary.blocks, summary.samples) == (threads * calls, calls * (1 + 2 + 3 + 4))
    assert summary.inference_ns_total == threads * calls * (calls - 1) // 2
    seconds_per_round = 1 / 16_000 + 2 / 32_000 + 3 / 16_000 + 4 / 32_000
    assert summary.audio_seconds == pytest.approx(calls * seconds_per_round, rel=1e-9)


def test_close_hands_over_one_summary_and_freezes_the_figures(caplog: pytest.LogCaptureFixture) -> None:
    reporter, client = _reporter()
    empty = dataclasses.asdict(reporter.snapshot())
    assert empty.pop("sdk_version") == "9.8.7" and set(empty.values()) == {0}
    _record(reporter, 40_000)
    with caplog.at_level(logging.DEBUG, logger="orlune.telemetry"):
        reporter.close()
        reporter.close()
    _record(reporter, 40_000)
    (summary,) = client.summaries
    assert reporter.snapshot() == summary and summary.blocks == 1 and summary.sdk_version == "9.8.7"
    (record,) = caplog.records
    assert record.levelno == logging.DEBUG and record.name == "orlune.telemetry"
    figures = dataclasses.asdict(summary)
    assert {key: getattr(record, key) for key in figures} == figures


@pytest.mark.parametrize(
    ("name", "value", "error"),
    [("rate", True, TypeError), ("samples", 480.0, TypeError), ("ns", np.int64(5), TypeError),
     ("ns", None, TypeError), ("rate", 0, ValueError), ("samples", -1, ValueError), ("ns", -5, ValueError)],
)
def test_invalid_arguments_are_refused_and_not_counted(
    name: str, value: object, error: type[Exception]
) -> None:
    reporter, _ = _reporter()
    parameter = {"rate": "sample_rate_hz", "samples": "block_samples", "ns": "inference_duration_ns"}[name]
    with pytest.raises(error, match=parameter):
        _record(reporter, **{"ns": 1, name: value})
    assert reporter.snapshot().blocks == 0
