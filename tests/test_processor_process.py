"""OrluneProcessor.process: validation, block order, telemetry and the native block loop."""

from __future__ import annotations

import time
from typing import Any

import numpy as np
import pytest
from numpy.typing import NDArray

from orlune._orlune_nc import OrluneNC
from orlune._processor import OrluneProcessor
from tests.fakes import FakeSession, RecordingReporter, stepping_clock


def initialized(session: Any, reporter: Any = None, clock: Any = None, rate: int = 48000) -> OrluneProcessor:
    p = OrluneProcessor(_session_factory=lambda r: session, _telemetry_reporter=reporter, _perf_counter_ns=clock)
    p.initialize(rate)
    return p


@pytest.mark.parametrize(
    ("state", "samples", "error", "message"),
    [
        ("closed", np.zeros(7, np.float32), RuntimeError, "OrluneProcessor has been closed"),
        ("fresh", np.zeros(7, np.float32), RuntimeError, "OrluneProcessor has not been initialized"),
        ("ready", np.zeros(481, np.float32), ValueError, "OrluneProcessor expects int16 PCM samples"),
        ("ready", np.zeros(480, np.int32), ValueError, "OrluneProcessor expects int16 PCM samples"),
        ("ready", np.zeros(480, np.uint16), ValueError, "OrluneProcessor expects int16 PCM samples"),
        ("ready", np.zeros(480, ">i2"), ValueError, "OrluneProcessor expects int16 PCM samples"),
        ("ready", np.zeros(481, np.int16), ValueError,
         "Audio must contain a whole number of Orlune blocks (480 samples); received 481"),
        ("ready", np.zeros(479, np.int16), ValueError,
         "Audio must contain a whole number of Orlune blocks (480 samples); received 479"),
    ],
)
def test_refused_calls_touch_nothing(state: str, samples: NDArray[Any], error: type, message: str) -> None:
    session, reporter = FakeSession(), RecordingReporter()
    p = OrluneProcessor(_session_factory=lambda r: session, _telemetry_reporter=reporter)
    if state != "fresh":
        p.initialize(48000)
    if state == "closed":
        p.close()
    with pytest.raises(error) as raised:
        p.process(samples)
    assert str(raised.value) == message
    assert (session.calls, reporter.records, p._processed_blocks, p._processed_samples) == ([], [], 0, 0)


@pytest.mark.parametrize("frame_length", [0, -480, 1.5, "480", None, True - 1, 2**70])
def test_non_positive_or_non_integer_frame_length_is_refused(frame_length: Any) -> None:
    p = initialized(FakeSession(frame_length=frame_length))
    with pytest.raises(ValueError) as raised:
        p.process(np.zeros(480, np.int16))
    assert str(raised.value) == f"Orlune session frame_length must be a positive integer, got {frame_length!r}"
    with pytest.raises(ValueError, match="expects int16"):  # the dtype is checked first
        p.process(np.zeros(480, np.float64))


@pytest.mark.parametrize("error", [MemoryError, KeyboardInterrupt, ZeroDivisionError])
def test_frame_length_errors_other_than_not_an_integer_propagate(error: type[BaseException]) -> None:
    class FailingLength:
        def __index__(self) -> int:
            raise error

    with pytest.raises(error):
        initialized(FakeSession(frame_length=FailingLength())).process(np.zeros(480, np.int16))


@pytest.mark.parametrize("blocks", [0, 1, 2, 7])
def test_blocks_run_in_order_with_telemetry_and_counters(blocks: int) -> None:
    session, reporter = FakeSession(frame_length=160), RecordingReporter()
    readings = [v for i in range(blocks) for v in (1000 * i, 1000 * i + 10 * (i + 1))]
    p = initialized(session, reporter, stepping_clock(*readings), rate=16000)
    samples = np.arange(160 * blocks, dtype=np.int16)
    before = samples.copy()
    out = p.process(samples)
    assert out is not samples and out.dtype == np.int16 and out.shape == samples.shape
    np.testing.assert_array_equal(samples, before)
    expected = (before.reshape(blocks, 160) + np.arange(1, blocks + 1)[:, None]).reshape(-1)
    np.testing.assert_array_equal(out, expected)
    assert [len(c) for c in session.calls] == [160] * blocks
    assert reporter.records == [
        {"sample_rate_hz": 16000, "block_samples": 160, "inference_duration_ns": 10 * (i + 1)} for i in range(blocks)
    ]
    assert (p._processed_blocks, p._processed_samples) == (blocks, 160 * blocks)


def test_clock_measures_only_the_session_call() -> None:
    reporter = RecordingReporter()
    p = initialized(FakeSession(), reporter, stepping_clock(100, 350))
    p.process(np.zeros(480, np.int16))
    assert reporter.records[0]["inference_duration_ns"] == 250


def test_failing_reporter_keeps_completed_blocks_counted() -> None:
    session, reporter = FakeSession(), RecordingReporter(fail_at=2)
    p = initialized(session, reporter)
    with pytest.raises(OSError):
        p.process(np.zeros(480 * 5, np.int16))
    assert len(session.calls) == 3 and len(reporter.records) == 2
    assert (p._processed_blocks, p._processed_samples) == (2, 960)


def test_without_reporter_counters_still_advance() -> None:
    p = initialized(FakeSession())
    p.process(np.zeros(960, np.int16))
    assert (p._processed_blocks, p._processed_samples) == (2, 960)


class SessionWrapper:
    """A Python session around a native one: forces the generic block loop."""

    def __init__(self, session: OrluneNC) -> None:
        self.session = session
        self.frame_length = session.frame_length

    def process_frame(self, samples: NDArray[np.int16]) -> NDArray[np.int16]:
        return self.session.process_frame(samples)

    def close(self) -> None:
        self.session.close()


def noisy(count: int, seed: int = 7) -> NDArray[np.int16]:
    rng = np.random.default_rng(seed)
    return np.clip(rng.normal(0, 6000, count), -32768, 32767).astype(np.int16)


def layouts(base: NDArray[np.int16]) -> list[NDArray[np.int16]]:
    wide = np.repeat(base, 3)
    return [base, base[::-1], wide[::3], np.frombuffer(base.tobytes()[1:] + b"\0", dtype=np.int16)]


@pytest.mark.parametrize("layout", range(4), ids=["contiguous", "reversed", "strided", "unaligned"])
def test_native_loop_matches_generic_loop(layout: int) -> None:
    native_reporter, generic_reporter = RecordingReporter(), RecordingReporter()
    native = OrluneProcessor(_telemetry_reporter=native_reporter)
    generic = OrluneProcessor(
        _telemetry_reporter=generic_reporter,
        _session_factory=lambda rate: SessionWrapper(native._create_native_session(rate)),
    )
    native.initialize(48000)
    generic.initialize(48000)
    assert type(native._session) is OrluneNC and type(generic._session) is SessionWrapper
    samples = layouts(noisy(480 * 6))[layout]
    before = samples.copy()
    for _ in range(2):
        np.testing.assert_array_equal(native.process(samples), generic.process(np.ascontiguousarray(samples)))
    np.testing.assert_array_equal(samples, before)
    assert (native._processed_blocks, native._processed_samples) == (generic._processed_blocks, generic._processed_samples) == (12, 5760)
    for records in (native_reporter.records, generic_reporter.records):
        assert [(r["sample_rate_hz"], r["block_samples"]) for r in records] == [(48000, 480)] * 12
        assert all(type(r["inference_duration_ns"]) is int and r["inference_duration_ns"] >= 0 for r in records)
    native.close()
    generic.close()


def test_native_loop_reports_a_closed_session_cleanly() -> None:
    closer = RecordingReporter()
    p = OrluneProcessor(_telemetry_reporter=closer)
    p.initialize(16000)
    session = p._session

    def close_during_block(**record: int) -> None:
        session.close()

    closer.record_block = close_during_block  # type: ignore[method-assign]
    with pytest.raises(RuntimeError, match="^Orlune denoising session is closed$"):
        p.process(np.zeros(160 * 3, np.int16))
    assert p._processed_blocks == 1


def test_injected_default_clock_keeps_the_native_loop() -> None:
    p = OrluneProcessor(_perf_counter_ns=time.perf_counter_ns)
    p.initialize(16000)
    out = p.process(noisy(1600))
    assert out.shape == (1600,) and p._processed_blocks == 10
    p.close()


def processor_on(path: str, reporter: Any, cls: type[OrluneProcessor] = OrluneProcessor) -> OrluneProcessor:
    """A 48 kHz processor on the real engine whose process() takes the named block loop."""
    factory = None if path == "native" else lambda rate: SessionWrapper(OrluneProcessor()._create_native_session(rate))
    p = cls(_telemetry_reporter=reporter, _session_factory=factory)
    p.initialize(48000)
    assert (type(p._session) is OrluneNC) == (path == "native")
    return p


class MeddlingReporter(RecordingReporter):
    """Runs `meddle(block_index)` inside each record_block, as a reporter's own code may."""

    def __init__(self, meddle: Any = None) -> None:
        super().__init__()
        self.meddle = meddle

    def record_block(self, **record: int) -> None:
        super().record_block(**record)
        if self.meddle is not None:
            self.meddle(len(self.records) - 1)


@pytest.mark.parametrize("path", ["native", "generic"])
def test_attributes_changed_during_a_call_take_effect_from_the_next_use(path: str) -> None:
    def swap_dict(block: int) -> None:
        if block == 0:
            p.__dict__ = {**vars(p), "_processed_blocks": 50}

    later = MeddlingReporter(swap_dict)

    def meddle(block: int) -> None:
        if block == 0:
            p._sample_rate = 16000
            p._processed_blocks = 100
        elif block == 1:
            p.__dict__["_processed_samples"] = 0.5
            p._telemetry_reporter = later

    first = MeddlingReporter(meddle)
    p = processor_on(path, first)
    p.process(np.zeros(480 * 4, np.int16))
    assert [r["sample_rate_hz"] for r in first.records] == [48000, 16000]
    assert [r["sample_rate_hz"] for r in later.records] == [16000, 16000]
    assert (p._processed_blocks, p._processed_samples) == (52, 1440.5)


@pytest.mark.parametrize("path", ["native", "generic"])
def test_counter_deleted_during_a_call_fails_after_the_block_count(path: str) -> None:
    p = processor_on(path, MeddlingReporter(lambda block: delattr(p, "_processed_samples")))
    with pytest.raises(AttributeError, match="_processed_samples"):
        p.process(np.zeros(480 * 3, np.int16))
    assert p._processed_blocks == 1 and "_processed_samples" not in vars(p)


@pytest.mark.parametrize("path", ["native", "generic"])
def test_subclass_attribute_hooks_see_every_counter_access(path: str) -> None:
    class Watched(OrluneProcessor):
        def __getattribute__(self, name: str) -> Any:
            if name.startswith("_processed"):
                traffic.append(("get", name))
            return super().__getattribute__(name)

        def __setattr__(self, name: str, value: Any) -> None:
            traffic.append(("set", name))
            super().__setattr__(name, value)

    traffic: list[tuple[str, str]] = []
    p = processor_on(path, None, Watched)
    traffic.clear()
    p.process(np.zeros(480 * 2, np.int16))
    per_block = [("get", "_processed_blocks"), ("set", "_processed_blocks"),
                 ("get", "_processed_samples"), ("set", "_processed_samples")]
    assert traffic == per_block * 2
