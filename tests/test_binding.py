"""OrluneNC against the instrumented engine: engine calls, conversions, handle ownership.

Each test runs its code in a child interpreter that imports a private copy of
the package whose engine is the test engine (see support/engine_harness.py);
the assertions run inside the child.
"""

from __future__ import annotations

import pytest
from engine_harness import PackageCopy


def test_constructor_calls_the_engine_in_order_with_converted_arguments(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import os, shutil
        model = Path("bündle models") / "ünïcode.bin"
        model.parent.mkdir()
        shutil.copyfile(MODEL, model)
        from orlune._orlune_nc import OrluneNC
        session = OrluneNC(sample_rate=44100, attenuation_limit_db=0.1, model_path=model)

        load, create, length = engine.calls()
        assert [load.name, create.name, length.name] == [
            "model_load_from_path", "session_create", "get_frame_length"
        ]
        assert os.fsencode(load.fields["path"]) == os.fsencode(model.resolve()), load
        assert load.handle("result") == create.handle("model") == session._model
        assert create.handle("result") == length.handle("session") == session._session
        assert create.fields["sample_rate"] == "44100"
        assert np.float32(create.fields["attenuation_limit_db"]) == np.float32(0.1)
        assert type(session.frame_length) is int and session.frame_length == 441
        assert session.latency_samples == 0  # this engine exports no delay
        for buffer in (session._input, session._output):
            assert buffer.dtype == np.float32 and buffer.shape == (441,)
        assert not np.shares_memory(session._input, session._output)

        session.process_frame(np.zeros(441, dtype=np.int16))
        frame = engine.calls("process_frame")[-1]
        assert frame.handle("session") == session._session
        assert frame.handle("input") == session._input.ctypes.data
        assert frame.handle("output") == session._output.ctypes.data

        other = open_session()
        assert other._lib is session._lib and other._lock is not session._lock
        assert {other._model, other._session}.isdisjoint({session._model, session._session})
        assert not np.shares_memory(other._input, session._input)
        assert engine.counter("live_models") == 2 and engine.counter("live_sessions") == 2
        """
    )


def test_successful_constructor_logs_one_orlune_loaded_record(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import logging
        records = []
        handler = logging.Handler()
        handler.emit = records.append
        logger = logging.getLogger("orlune.native")
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)

        open_session(sample_rate=22050)
        [record] = records
        assert (record.name, record.levelno) == ("orlune.native", logging.INFO)
        assert record.getMessage() == "Orlune loaded"
        standard = set(vars(logging.makeLogRecord({})))
        extra = [(key, value) for key, value in vars(record).items() if key not in standard]
        assert extra == [
            ("library_path", str(LIBRARY.resolve())),
            ("sample_rate", 22050),
            ("native_frame_length", 220),
        ], extra
        """
    )


# (steering, constructor keywords, error, message or None, calls while constructing, calls of close)
CONSTRUCTOR_FAILURES = [
    pytest.param(
        "engine.fail_model_loads()", "sample_rate=48000, attenuation_limit_db=100.0",
        "RuntimeError", "Failed to load the Orlune model",
        ["model_load_from_path"], [],
        id="engine returns no model",
    ),
    pytest.param(
        "engine.fail_session_creates()", "sample_rate=44100, attenuation_limit_db=100.0",
        "RuntimeError", "Failed to create an Orlune denoising session at 44100 Hz",
        ["model_load_from_path", "session_create", "model_free"], [],
        id="engine returns no session",
    ),
    pytest.param(
        "", "sample_rate=48000.0, attenuation_limit_db=100.0",
        "ctypes.ArgumentError", None,
        ["model_load_from_path"], ["model_free"],
        id="sample rate not an integer",
    ),
    pytest.param(
        "", "sample_rate=48000, attenuation_limit_db='loud'",
        "TypeError", None,
        ["model_load_from_path"], ["model_free"],
        id="attenuation limit not a number",
    ),
    pytest.param(
        "engine.force_frame_length(2**62)", "sample_rate=48000, attenuation_limit_db=100.0",
        "(MemoryError, ValueError)", None,
        ["model_load_from_path", "session_create", "get_frame_length"],
        ["session_free", "model_free"],
        id="frame length too large to allocate",
    ),
]  # fmt: skip


@pytest.mark.parametrize(
    ("steer", "keywords", "error", "message", "constructing", "closing"), CONSTRUCTOR_FAILURES
)
def test_failed_constructor_raises_and_frees_exactly_what_it_holds(
    engine_package: PackageCopy,
    steer: str,
    keywords: str,
    error: str,
    message: str | None,
    constructing: list[str],
    closing: list[str],
) -> None:
    engine_package.run(
        f"""
        import ctypes, gc
        from orlune._orlune_nc import OrluneNC

        class Kept(OrluneNC):
            # Keeps the half-built object that a plain constructor call would drop.
            def __init__(self, **keywords):
                try:
                    super().__init__(**keywords)
                except Exception as error:
                    self.error = error

        def check_frees(calls):
            load = calls[0]
            frees = {{call.name: call for call in calls if call.name.endswith("_free")}}
            if "model_free" in frees:
                assert frees["model_free"].handle("model") == load.handle("result")
            if "session_free" in frees:
                assert frees["session_free"].handle("session") == calls[1].handle("result")
            for counter in ("live_models", "live_sessions", "bad_handle_calls", "null_handle_calls",
                            "model_freed_before_sessions"):
                assert engine.counter(counter) == 0, counter

        # A plain call: the finaliser of the dropped object frees what it held.
        {steer}
        expect_error({error}, OrluneNC, {keywords}, model_path=MODEL, message={message!r})
        gc.collect()
        calls = engine.calls()
        assert [call.name for call in calls] == {constructing + closing!r}, calls
        check_frees(calls)

        engine.reset()
        {steer}
        kept = Kept({keywords}, model_path=MODEL)
        assert isinstance(kept.error, {error})
        assert engine.names() == {constructing!r}
        assert kept._lib is not None and not kept._lock.locked()
        assert kept.close() is None and kept.close() is None and kept.reset() is None
        assert engine.names() == {constructing + closing!r}
        del kept
        gc.collect()
        assert engine.names() == {constructing + closing!r}
        check_frees(engine.calls())
        """
    )


def test_process_frame_refuses_wrong_samples_without_calling_the_engine(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        session = open_session()
        engine.reset()
        for samples, received in [
            (np.zeros(480, dtype=np.float32), "480 float32"),
            (np.zeros(479, dtype=np.int16), "479 int16"),
            (np.zeros(10), "10 float64"),
            (np.zeros(480, dtype=">i2"), "480 >i2"),
            (np.zeros(481, dtype=np.uint16), "481 uint16"),
        ]:
            message = f"Expected 480 int16 samples, received {received} samples"
            expect_error(ValueError, session.process_frame, samples, message=message)
        expect_error(AttributeError, session.process_frame, [0] * 480)
        error = expect_error(ValueError, session.process_frame, np.zeros((1, 480), dtype=np.int16))
        assert "broadcast" in str(error), error
        assert not session._lock.locked()
        assert engine.calls() == []

        frame = np.arange(480, dtype=np.int16)
        assert np.array_equal(session.process_frame(frame), frame)
        """
    )


@pytest.mark.parametrize("factor", [1.0, -1.0, 0.5, -0.5, 2.0, 1e30, -1e30])
def test_every_int16_value_converts_exactly_both_ways(
    engine_package: PackageCopy, factor: float
) -> None:
    engine_package.run(
        """
        engine.force_frame_length(65536)
        engine.output_scale(FACTOR)
        session = open_session()
        samples = np.arange(-32768, 32768, dtype=np.int16)
        result = session.process_frame(samples)

        received = engine.last_input()
        assert np.array_equal(received, samples / np.float32(32768)), "input scale"
        assert received[0] == -1.0 and received[-1] == 0.999969482421875
        assert received[32768 + 16384] == 0.5
        # Scaled by 32768, clipped, truncated toward zero (1.5 -> 1, -1.5 -> -1).
        exact = np.trunc(samples.astype(np.float64) * FACTOR)
        expected = np.clip(exact, -32768, 32767).astype(np.int16)
        wrong = np.flatnonzero(result != expected)[:5]
        assert wrong.size == 0, (samples[wrong], result[wrong], expected[wrong])
        """,
        FACTOR=factor,
    )


def test_engine_output_extremes_clip_truncate_and_zero_nan(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        inf, nan = float("inf"), float("nan")
        cases = [
            (1.0, 32767), (-1.0, -32768), (0.5, 16384), (2.5, 32767), (-3.0, -32768),
            (1.5 / 32768, 1), (-1.5 / 32768, -1),
            (32767.5 / 32768, 32767), (-32768.5 / 32768, -32768),
            (32766.9 / 32768, 32766), (-32767.9 / 32768, -32767), (-0.0, 0), (1e-30, 0),
            (nan, 0), (-nan, 0), (inf, 32767), (-inf, -32768), (3.4e38, 32767), (-3.4e38, -32768),
        ]
        engine.output_values([value for value, _ in cases])
        session = open_session()
        result = session.process_frame(np.zeros(480, dtype=np.int16))[: len(cases)]
        expected = np.array([converted for _, converted in cases], dtype=np.int16)
        wrong = [(cases[i], int(result[i])) for i in np.flatnonzero(result != expected)]
        assert result.dtype == np.int16 and not wrong, wrong
        """
    )


def test_result_is_a_new_array_that_later_frames_leave_alone(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        session = open_session()
        first_input = np.arange(480, dtype=np.int16)
        first = session.process_frame(first_input)
        second = session.process_frame(-first_input)
        assert first.dtype == np.int16 and first.shape == (480,) and first.flags.writeable
        for other in (first_input, session._output, session._input, second):
            assert not np.shares_memory(first, other)
        assert np.array_equal(first, first_input) and np.array_equal(second, -first_input)
        """
    )


def test_any_int16_layout_reads_like_a_contiguous_copy_and_stays_unchanged(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        rng = np.random.default_rng(20240611)
        base = rng.integers(-32768, 32768, size=4 * 480, dtype=np.int16)
        read_only = base[:480].copy()
        read_only.flags.writeable = False
        layouts = {
            "every other": base[::2][:480],
            "reversed": base[::-1][:480],
            "every third, reversed": base[::-3][:480],
            "matrix column": base.reshape(480, 4)[:, 1],
            "read-only": read_only,
            "unaligned": np.frombuffer(b"\\0" + base[:480].tobytes(), dtype=np.int16, offset=1),
            "zero stride": np.broadcast_to(np.int16(-32768), (480,)),
        }
        assert not layouts["unaligned"].flags.aligned
        engine.output_scale(-1.0)
        session = open_session()
        for name, samples in layouts.items():
            before = base.copy(), samples.copy()
            expected = session.process_frame(np.ascontiguousarray(samples))
            assert np.array_equal(session.process_frame(samples), expected), name
            assert np.array_equal(base, before[0]) and np.array_equal(samples, before[1]), name
            assert np.array_equal(engine.last_input(), samples / np.float32(32768)), name
        """
    )


def test_close_frees_session_then_model_once_and_nothing_reaches_the_engine_after(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        session = open_session()
        model, handle = session._model, session._session
        session.reset()
        [reset] = engine.calls("reset")
        assert reset.handle("session") == handle
        engine.reset()

        assert session.close() is None and session.close() is None
        calls = engine.calls()
        assert [(call.name, call.fields) for call in calls] == [
            ("session_free", {"session": str(handle)}), ("model_free", {"model": str(model)})
        ], calls
        assert session._model is None and session._session is None
        assert session.frame_length == 480 and not session._lock.locked()
        assert session._input.shape == session._output.shape == (480,)

        assert session.reset() is None
        expect_error(RuntimeError, session.process_frame, np.zeros(480, dtype=np.int16),
                     message="Orlune denoising session is closed")
        assert engine.names() == ["session_free", "model_free"]
        for counter in ("live_models", "live_sessions", "bad_handle_calls", "null_handle_calls",
                        "model_freed_before_sessions"):
            assert engine.counter(counter) == 0, counter
        """
    )


def test_finaliser_frees_the_handles_of_a_dropped_session(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import gc
        plain = open_session()
        plain.process_frame(np.zeros(480, dtype=np.int16))
        in_cycle = open_session()
        in_cycle.myself = in_cycle
        handles = [(plain._session, plain._model), (in_cycle._session, in_cycle._model)]
        FREES = ("session_free", "model_free")
        engine.reset()

        del plain
        del in_cycle
        gc.collect()
        frees = [(call.name, int(next(iter(call.fields.values())))) for call in engine.calls()]
        expected = [(name, handle) for pair in handles for name, handle in zip(FREES, pair)]
        assert frees == expected, frees
        assert engine.counter("live_models") == 0 and engine.counter("live_sessions") == 0
        assert engine.counter("model_freed_before_sessions") == 0
        """
    )


def test_speech_probability_is_nan_until_the_first_frame_then_the_engines(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import math
        session = open_session()
        assert math.isnan(session.speech_probability)
        engine.set_speech_probability(0.25)
        session.process_frame(np.zeros(480, dtype=np.int16))
        assert session.speech_probability == 0.25
        engine.set_speech_probability(1.0)
        session.process_frame(np.zeros(480, dtype=np.int16))
        assert session.speech_probability == 1.0
        """
    )


@pytest.mark.parametrize("frame_length", [0, 1, 7])
def test_unusual_frame_lengths_work_end_to_end(
    engine_package: PackageCopy, frame_length: int
) -> None:
    engine_package.run(
        """
        engine.force_frame_length(FRAME_LENGTH)
        session = open_session()
        assert session.frame_length == FRAME_LENGTH and session._input.shape == (FRAME_LENGTH,)
        samples = np.arange(-3, FRAME_LENGTH - 3, dtype=np.int16)
        result = session.process_frame(samples)
        assert result.dtype == np.int16 and np.array_equal(result, samples)
        session.close()
        assert engine.counter("live_sessions") == 0 and engine.counter("bad_handle_calls") == 0
        """,
        FRAME_LENGTH=frame_length,
    )


def test_instrumented_engine_counts_bad_handles_instead_of_crashing(
    engine_package: PackageCopy,
) -> None:
    # The zero counts asserted elsewhere only mean something if the engine sees bad handles.
    engine_package.run(
        """
        import ctypes
        lib = ctypes.CDLL(str(LIBRARY))
        for name in ("kelvo_nc_process_frame", "kelvo_nc_reset", "kelvo_nc_session_free"):
            getattr(lib, name).argtypes = [ctypes.c_void_p] * (3 if "process" in name else 1)
        session = open_session()
        freed = session._session
        session.close()
        frame = (ctypes.c_float * 480)()
        lib.kelvo_nc_process_frame(freed, frame, frame)
        lib.kelvo_nc_session_free(freed)
        lib.kelvo_nc_reset(None)
        assert engine.counter("bad_handle_calls") == 2 and engine.counter("null_handle_calls") == 1
        assert engine.counter("live_sessions") == 0
        """
    )
