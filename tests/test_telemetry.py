from __future__ import annotations

import dataclasses
import logging
import sys
import threading
from collections.abc import Iterator

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


@pytest.mark.parametrize("durations", DURATION_SETS.values(), ids=DURATION_SETS.keys())
def test_figures_match_numpy_within_the_histogram_resolution(durations: np.ndarray) -> None:
    durations = durations.astype(np.int64)
    reporter, client = _reporter()
    for duration in durations.tolist():
        reporter.record_block(sample_rate_hz=48_000, block_samples=480, inference_duration_ns=duration)
    reporter.close()
    (summary,) = client.summaries
    assert (summary.blocks, summary.samples, summary.sdk_version) == (len(durations), 480 * len(durations), "9.8.7")
    assert summary.inference_ns_total == int(durations.sum()) and summary.inference_ns_max == int(durations.max())
    assert summary.inference_ns_mean == pytest.approx(durations.mean(), rel=1e-12)
    assert summary.audio_seconds == pytest.approx(len(durations) * 0.01, rel=1e-12)
    assert summary.real_time_factor == pytest.approx(durations.sum() / 1e9 / summary.audio_seconds, rel=1e-12)
    for reported, percent in ((summary.inference_ns_p50, 50), (summary.inference_ns_p95, 95)):
        exact = np.percentile(durations, percent, method="inverted_cdf")
        assert reported == pytest.approx(exact, rel=HISTOGRAM_RELATIVE_ERROR, abs=1e-9)


def test_mixed_sample_rates_sum_audio_time_per_block() -> None:
    reporter, _ = _reporter()
    blocks = [(48_000, 480), (16_000, 160), (44_100, 441), (48_000, 480), (8_000, 80), (22_050, 0)] * 1_000
    for rate, samples in blocks:
        reporter.record_block(sample_rate_hz=rate, block_samples=samples, inference_duration_ns=500_000)
    summary = reporter.snapshot()
    assert summary.audio_seconds == pytest.approx(sum(s / r for r, s in blocks), rel=1e-12)
    assert summary.audio_seconds == pytest.approx(50.0, rel=1e-12)
    assert summary.real_time_factor == pytest.approx(6_000 * 500e-6 / 50.0, rel=1e-12)


@pytest.fixture
def frequent_thread_switches() -> Iterator[None]:
    # Switch threads often, so that unsynchronised updates are likelier to collide.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


@pytest.mark.usefixtures("frequent_thread_switches")
def test_concurrent_recording_keeps_exact_totals() -> None:
    reporter, client = _reporter()
    threads, calls = 4, 5_000
    start = threading.Barrier(threads)

    def record(worker: int) -> None:
        start.wait()
        for call in range(calls):
            reporter.record_block(sample_rate_hz=16_000 * (1 + worker % 2), block_samples=worker + 1, inference_duration_ns=call)

    workers = [threading.Thread(target=record, args=(worker,)) for worker in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    reporter.close()
    (summary,) = client.summaries
    assert summary.blocks == threads * calls
    assert summary.samples == calls * sum(range(1, threads + 1))
    assert summary.inference_ns_total == threads * calls * (calls - 1) // 2
    assert summary.audio_seconds == pytest.approx(calls * (1 / 16_000 + 2 / 32_000 + 3 / 16_000 + 4 / 32_000), rel=1e-9)


def test_close_hands_over_exactly_one_summary_and_freezes_the_figures(caplog: pytest.LogCaptureFixture) -> None:
    reporter, client = _reporter()
    reporter.record_block(sample_rate_hz=48_000, block_samples=480, inference_duration_ns=40_000)
    with caplog.at_level(logging.DEBUG, logger="orlune.telemetry"):
        reporter.close()
        reporter.close()
    reporter.record_block(sample_rate_hz=48_000, block_samples=480, inference_duration_ns=40_000)
    (summary,) = client.summaries
    assert reporter.snapshot() == summary and summary.blocks == 1
    (record,) = caplog.records
    assert record.levelno == logging.DEBUG and record.name == "orlune.telemetry"
    assert {key: getattr(record, key) for key in dataclasses.asdict(summary)} == dataclasses.asdict(summary)


def test_empty_reporter_summarises_to_zeros() -> None:
    reporter, client = _reporter()
    reporter.close()
    figures = dataclasses.asdict(client.summaries[0])
    assert figures.pop("sdk_version") == "9.8.7" and set(figures.values()) == {0}


@pytest.mark.parametrize(
    ("arguments", "error"),
    [
        ({"sample_rate_hz": True}, TypeError),
        ({"block_samples": 480.0}, TypeError),
        ({"inference_duration_ns": np.int64(5)}, TypeError),
        ({"inference_duration_ns": None}, TypeError),
        ({"sample_rate_hz": 0}, ValueError),
        ({"block_samples": -1}, ValueError),
        ({"inference_duration_ns": -5}, ValueError),
    ],
)
def test_invalid_arguments_are_refused_and_not_counted(arguments: dict[str, object], error: type[Exception]) -> None:
    reporter, _ = _reporter()
    name = next(iter(arguments))
    with pytest.raises(error, match=name):
        reporter.record_block(**{"sample_rate_hz": 48_000, "block_samples": 480, "inference_duration_ns": 1, **arguments})  # type: ignore[arg-type]
    assert reporter.snapshot().blocks == 0
