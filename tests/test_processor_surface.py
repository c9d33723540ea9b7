"""The module namespace, protocols and construction of orlune._processor."""

from __future__ import annotations

import inspect
import json
import pickle
import time
import typing
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

import orlune._processor as processor_module
from orlune._processor import OrluneProcessor
from tests.fakes import FakeSession, RecordingReporter, RecordingStore


def test_namespace_binds_its_names_in_order() -> None:
    names = [name for name in vars(processor_module) if not name.startswith("__")]
    assert names == [
        "logging", "time", "Callable", "Protocol", "np", "NDArray", "OrluneNC",
        "ModelArtifact", "ModelManifest", "ModelStore", "TelemetryClient", "TelemetryReporter",
        "_sdk_version", "logger", "_DenoisingSession", "_SessionFactory", "_TelemetryReporter",
        "_ModelStore", "OrluneProcessor",
    ]
    assert processor_module.logger.name == "orlune.processor"
    assert processor_module._SessionFactory == Callable[[int], processor_module._DenoisingSession]


@pytest.mark.parametrize(
    ("protocol", "members"),
    [
        ("_DenoisingSession", {
            "process_frame": {"samples": "NDArray[np.int16]", "return": "NDArray[np.int16]"},
            "close": {"return": "None"},
        }),
        ("_TelemetryReporter", {
            "record_block": {"sample_rate_hz": "int", "block_samples": "int",
                             "inference_duration_ns": "int", "return": "None"},
            "close": {"return": "None"},
        }),
        ("_ModelStore", {"resolve": {"manifest": "ModelManifest", "return": "ModelArtifact"}}),
    ],
)
def test_protocols_are_real_protocol_classes(protocol: str, members: dict[str, dict[str, str]]) -> None:
    cls = getattr(processor_module, protocol)
    assert type(cls) is type(typing.Protocol)
    assert cls.__mro__[1] is typing.Protocol and cls._is_protocol
    assert not getattr(cls, "_is_runtime_protocol", False)
    assert cls.__module__ == "orlune._processor" and cls.__doc__ is None
    for name, annotations in members.items():
        method = getattr(cls, name)
        assert method.__annotations__ == annotations
        assert list(method.__annotations__) == list(annotations)
        assert method.__qualname__ == f"{protocol}.{name}"
    if protocol == "_DenoisingSession":
        assert cls.__annotations__ == {"frame_length": "int"}


def test_record_block_is_keyword_only() -> None:
    record_block = processor_module._TelemetryReporter.record_block
    with pytest.raises(TypeError):
        record_block(object(), 48000, 480, 10)
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'block_samples'"):
        record_block(object(), sample_rate_hz=48000, inference_duration_ns=10)
    assert record_block(object(), sample_rate_hz=48000, block_samples=480, inference_duration_ns=10) is None
    parameters = inspect.signature(record_block).parameters
    assert [p.kind for p in parameters.values()][1:] == [inspect.Parameter.KEYWORD_ONLY] * 3


def test_processor_members_and_annotations() -> None:
    members = [n for n in vars(OrluneProcessor) if not n.startswith("__") or n == "__init__"]
    assert members == ["__init__", "frame_length", "sample_rate", "initialize", "process",
                       "_create_native_session", "close"]
    assert OrluneProcessor.__mro__ == (OrluneProcessor, object)
    assert OrluneProcessor.__module__ == "orlune._processor"
    assert OrluneProcessor.process.__qualname__ == "OrluneProcessor.process"
    assert OrluneProcessor.process.__annotations__ == {"samples": "NDArray[np.int16]", "return": "NDArray[np.int16]"}
    assert OrluneProcessor.frame_length.fget.__annotations__ == {"return": "int"}
    assert OrluneProcessor.sample_rate.fget.__annotations__ == {"return": "int | None"}
    assert OrluneProcessor._create_native_session.__annotations__ == {"sample_rate": "int", "return": "_DenoisingSession"}
    signature = inspect.signature(OrluneProcessor)
    assert str(signature) == (
        "(*, attenuation_limit_db: 'float' = 100.0, _session_factory: '_SessionFactory | None' = None, "
        "_telemetry_reporter: '_TelemetryReporter | None' = None, _model_store: '_ModelStore | None' = None, "
        "_perf_counter_ns: 'Callable[[], int] | None' = None) -> 'None'"
    )
    assert str(inspect.signature(OrluneProcessor().process)) == "(samples: 'NDArray[np.int16]') -> 'NDArray[np.int16]'"


class CallLog:
    """Replaces the module-level collaborator names and records what is called."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch, artifact: Path) -> None:
        self.calls: list[tuple[str, Any]] = []
        log = self.calls

        def store() -> RecordingStore:
            log.append(("ModelStore", None))
            return RecordingStore(artifact)

        def manifest(**kwargs: str) -> tuple[str, ...]:
            log.append(("ModelManifest", tuple(kwargs.items())))
            return tuple(kwargs.values())

        def client() -> str:
            log.append(("TelemetryClient", None))
            return "client"

        def version() -> str:
            log.append(("_sdk_version", None))
            return "9.9"

        def reporter(**kwargs: Any) -> RecordingReporter:
            log.append(("TelemetryReporter", tuple(kwargs.items())))
            return RecordingReporter()

        for name, value in [("ModelStore", store), ("ModelManifest", manifest), ("TelemetryClient", client),
                            ("_sdk_version", version), ("TelemetryReporter", reporter)]:
            monkeypatch.setattr(processor_module, name, value)

    def names(self) -> list[str]:
        return [name for name, _ in self.calls]


def _default_in_index() -> dict[str, str]:
    index = json.loads((Path(processor_module.__file__).parent / "resources/models/index.json").read_text())
    (entry,) = [entry for entry in index["models"] if entry["id"] == "orlune-nc-default"]
    return entry


# The default model at whatever version and bundle the packaged index lists for it.
MANIFEST = ("ModelManifest", (("model_id", "orlune-nc-default"), ("model_version", _default_in_index()["version"]),
                              ("model_url", "package:models/" + _default_in_index()["file"])))


@pytest.mark.parametrize(
    ("injected", "expected_calls", "has_store", "has_reporter"),
    [
        ({}, ["ModelStore", "ModelManifest", "TelemetryClient", "_sdk_version", "TelemetryReporter"], True, True),
        ({"_session_factory"}, [], False, False),
        ({"_session_factory", "_telemetry_reporter"}, [], False, True),
        ({"_session_factory", "_model_store"}, ["ModelManifest"], True, False),
        ({"_model_store"}, ["ModelManifest", "TelemetryClient", "_sdk_version", "TelemetryReporter"], True, True),
        ({"_model_store", "_telemetry_reporter"}, ["ModelManifest"], True, True),
    ],
)
def test_constructor_builds_only_missing_collaborators(
    monkeypatch: pytest.MonkeyPatch, tmp_path: Path, injected: set[str], expected_calls: list[str],
    has_store: bool, has_reporter: bool,
) -> None:
    log = CallLog(monkeypatch, tmp_path / "model.bin")
    store = RecordingStore(tmp_path / "injected.bin")
    reporter = RecordingReporter()
    kwargs: dict[str, Any] = {
        "_session_factory": lambda rate: FakeSession(),
        "_model_store": store,
        "_telemetry_reporter": reporter,
    }
    p = OrluneProcessor(**{k: v for k, v in kwargs.items() if k in injected})
    assert log.names() == expected_calls
    if "ModelManifest" in expected_calls:
        assert MANIFEST in log.calls
    if "TelemetryReporter" in expected_calls:
        assert log.calls[-1] == ("TelemetryReporter", (("sink", "client"), ("sdk_version", "9.9")))
    assert (p._model_store is not None) is has_store
    assert (p._model_artifact is not None) is has_store
    assert (p._telemetry_reporter is not None) is has_reporter
    if "_telemetry_reporter" in injected:
        assert p._telemetry_reporter is reporter
    if "_model_store" in injected:
        assert p._model_store is store and len(store.manifests) == 1
    assert (p._session, p._sample_rate, p._closed, p._processed_blocks, p._processed_samples) == (None, None, False, 0, 0)


@pytest.mark.parametrize("limit", [0, -0.0, 6, 100.0, float("nan"), float("inf")])
def test_attenuation_limit_accepted_and_stored_unchanged(limit: float) -> None:
    p = OrluneProcessor(attenuation_limit_db=limit, _session_factory=FakeSession)
    assert p._attenuation_limit_db is limit


@pytest.mark.parametrize(("args", "kwargs", "error", "message"), [
    ((), {"attenuation_limit_db": -0.5}, ValueError, "attenuation_limit_db must be non-negative"),
    ((), {"attenuation_limit_db": "loud"}, TypeError, "not supported between"),
    ((12.0,), {}, TypeError, "takes 1 positional argument but 2 were given"),
    ((), {"gain": 1}, TypeError, "unexpected keyword argument 'gain'"),
])
def test_constructor_refuses_bad_arguments(args: tuple[Any, ...], kwargs: dict[str, Any], error: type, message: str) -> None:
    with pytest.raises(error, match=message):
        OrluneProcessor(*args, **kwargs)


def test_default_limit_and_clock() -> None:
    p = OrluneProcessor(_session_factory=FakeSession)
    assert p._attenuation_limit_db == 100.0 and type(p._attenuation_limit_db) is float
    assert p._perf_counter_ns is time.perf_counter_ns
    clock = lambda: 0  # noqa: E731
    assert OrluneProcessor(_session_factory=FakeSession, _perf_counter_ns=clock)._perf_counter_ns is clock


def test_failing_resolution_builds_no_reporter(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    log = CallLog(monkeypatch, tmp_path / "model.bin")

    class BrokenStore:
        def resolve(self, manifest: Any) -> Any:
            raise LookupError("no such model")

    with pytest.raises(LookupError):
        OrluneProcessor(_model_store=BrokenStore())
    assert log.names() == ["ModelManifest"]


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_native_functions_pickle_by_reference(protocol: int) -> None:
    for function in (OrluneProcessor.process, OrluneProcessor.__init__,
                     processor_module._TelemetryReporter.record_block):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
