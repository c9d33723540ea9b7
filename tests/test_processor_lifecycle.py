"""initialize / close transitions, properties and log records of OrluneProcessor."""

from __future__ import annotations

import logging
from pathlib import Path
from typing import Any

import numpy as np
import pytest

import orlune._processor as processor_module
from orlune._processor import OrluneProcessor
from tests.fakes import FakeSession, RecordingReporter, RecordingStore

EXTRA_KEYS = ("sample_rate", "native_frame_length", "processed_blocks", "processed_audio_seconds")


def extras(record: logging.LogRecord) -> list[tuple[str, Any]]:
    return [(key, value) for key, value in vars(record).items() if key in EXTRA_KEYS]


@pytest.fixture
def log(caplog: pytest.LogCaptureFixture) -> pytest.LogCaptureFixture:
    caplog.set_level(logging.INFO, logger="orlune.processor")
    return caplog


def make(**kwargs: Any) -> tuple[OrluneProcessor, list[int], FakeSession, RecordingReporter]:
    rates: list[int] = []
    session = FakeSession(frame_length=kwargs.pop("frame_length", 480))
    reporter = RecordingReporter()

    def factory(rate: int) -> FakeSession:
        rates.append(rate)
        return session

    return OrluneProcessor(_session_factory=factory, _telemetry_reporter=reporter, **kwargs), rates, session, reporter


def test_initialize_creates_one_session_and_logs(log: pytest.LogCaptureFixture) -> None:
    p, rates, session, _ = make()
    with pytest.raises(RuntimeError, match="OrluneProcessor has not been initialized"):
        _ = p.frame_length
    assert p.sample_rate is None
    p.initialize(48000)
    assert (rates, p._session, p.sample_rate, p.frame_length) == ([48000], session, 48000, 480)
    assert [r.getMessage() for r in log.records] == ["Orlune speech enhancement initialized"]
    assert extras(log.records[0]) == [("sample_rate", 48000), ("native_frame_length", 480)]
    p.initialize(48000)
    p.initialize(sample_rate=48000.0)
    assert rates == [48000] and len(log.records) == 1
    with pytest.raises(ValueError) as changed:
        p.initialize(16000)
    assert str(changed.value) == "Audio sample rate changed after Orlune was initialized (48000 Hz to 16000 Hz)"


@pytest.mark.parametrize("rate", [0, -8000])
def test_initialize_refuses_non_positive_rates(rate: int) -> None:
    p, rates, _, _ = make()
    with pytest.raises(ValueError, match="^sample_rate must be positive$"):
        p.initialize(rate)
    assert rates == [] and p.sample_rate is None and p._session is None


def test_failed_factory_leaves_processor_retryable() -> None:
    attempts: list[int] = []

    def flaky(rate: int) -> FakeSession:
        attempts.append(rate)
        if len(attempts) == 1:
            raise OSError("device busy")
        return FakeSession()

    p = OrluneProcessor(_session_factory=flaky)
    with pytest.raises(OSError):
        p.initialize(16000)
    assert p.sample_rate is None and p._session is None
    p.initialize(16000)
    assert attempts == [16000, 16000] and p.sample_rate == 16000


@pytest.mark.parametrize("rate", [48000, 16000, -1])
def test_closed_processor_refuses_initialize(rate: int) -> None:
    p, _, _, _ = make()
    p.initialize(48000)
    p.close()
    with pytest.raises(RuntimeError, match="^OrluneProcessor has been closed$"):
        p.initialize(rate)


@pytest.mark.parametrize(("rate", "frame", "blocks", "seconds"), [(44100, 480, 3, 0.033), (48000, 480, 10, 0.1)])
def test_close_releases_everything_once_and_logs_a_summary(
    log: pytest.LogCaptureFixture, rate: int, frame: int, blocks: int, seconds: float
) -> None:
    p, _, session, reporter = make(frame_length=frame)
    p.initialize(rate)
    p.process(np.zeros(frame * blocks, dtype=np.int16))
    p.close()
    p.close()
    assert (session.closed, reporter.closed, p._closed, p._session) == (1, 1, True, None)
    closing = [r for r in log.records if r.getMessage() == "Orlune speech enhancement closed"]
    assert len(closing) == 1
    assert extras(closing[0]) == [("processed_blocks", blocks), ("processed_audio_seconds", seconds)]
    assert p.sample_rate == rate
    with pytest.raises(RuntimeError, match="OrluneProcessor has not been initialized"):
        _ = p.frame_length


def test_close_without_blocks_logs_nothing(log: pytest.LogCaptureFixture) -> None:
    p, _, _, reporter = make()
    p.close()
    assert reporter.closed == 1 and p._closed and log.records == []


def test_close_propagates_a_failing_session_close() -> None:
    p, _, session, reporter = make()
    p.initialize(48000)

    def broken() -> None:
        raise OSError("stuck")

    session.close = broken  # type: ignore[method-assign]
    with pytest.raises(OSError):
        p.close()
    assert p._closed and p._session is session and reporter.closed == 0
    p.close()
    assert reporter.closed == 0


@pytest.mark.parametrize("attribute", ["frame_length", "sample_rate"])
def test_properties_are_read_only(attribute: str) -> None:
    p, _, _, _ = make()
    with pytest.raises(AttributeError):
        setattr(p, attribute, 1)


def test_native_session_is_built_from_the_artifact(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    built: list[dict[str, Any]] = []

    def fake_native(**kwargs: Any) -> FakeSession:
        built.append(kwargs)
        return FakeSession(frame_length=160)

    monkeypatch.setattr(processor_module, "OrluneNC", fake_native)
    p = OrluneProcessor(attenuation_limit_db=12, _model_store=RecordingStore(tmp_path / "m.bin"),
                        _telemetry_reporter=RecordingReporter())
    p.initialize(16000)
    assert built == [{"sample_rate": 16000, "attenuation_limit_db": 12, "model_path": tmp_path / "m.bin"}]
    assert list(built[0]) == ["sample_rate", "attenuation_limit_db", "model_path"]
    assert p.frame_length == 160


def test_missing_artifact_is_refused_at_initialize() -> None:
    class EmptyStore:
        def resolve(self, manifest: Any) -> None:
            return None

    p = OrluneProcessor(_model_store=EmptyStore(), _telemetry_reporter=RecordingReporter())
    with pytest.raises(RuntimeError, match="^Orlune model artifact is missing$"):
        p.initialize(48000)
    assert p._session is None and p.sample_rate is None


def test_rebinding_module_names_changes_the_next_call(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    reporters: list[RecordingReporter] = []

    def reporter_factory(**kwargs: Any) -> RecordingReporter:
        reporters.append(RecordingReporter())
        return reporters[-1]

    monkeypatch.setattr(processor_module, "TelemetryReporter", reporter_factory)
    monkeypatch.setattr(processor_module, "ModelStore", lambda: RecordingStore(tmp_path / "x.bin"))
    p = OrluneProcessor()
    assert p._telemetry_reporter is reporters[0]
    assert p._model_artifact.path == tmp_path / "x.bin"
