"""Sessions, processors and streams under many threads, on the test engine and on the real one.

Each scenario runs in a child interpreter (a deadlock shows as a timeout with
every thread's stack). On the instrumented test engine its counters prove that
no engine call saw a null, unknown or freed handle and that no session was
entered twice at once; on the real engine a crash or a sanitizer report ends
the child.
"""

from __future__ import annotations

from collections.abc import Callable

import textwrap

import numpy as np
import pytest
from engine_harness import PackageCopy

from .children import runner

ENGINES = ["test", "real"]
CHILD_TIMEOUT_S = 90.0

# Appended to every child: the test engine's counters must show no misuse.
CLEAN_ENGINE = """
if engine is not None:
    for name in ("bad_handle_calls", "null_handle_calls", "freed_while_busy", "session_overlaps",
                 "live_sessions", "live_models", "internal_errors"):
        assert engine.counter(name) == 0, (name, engine.counter(name))
"""



def checked(code: str) -> str:
    """`code` followed by the check of the test engine's counters."""
    return textwrap.dedent(code) + CLEAN_ENGINE


LOAD = """
import threading
from orlune import OrluneProcessor

THREADS, ROUNDS = 8, 25
BLOCKS = 3 if TARGET == "processor" else 1  # per call

def make():
    if TARGET == "processor":
        processor = OrluneProcessor()
        processor.initialize(48000)
        return processor, processor.process
    session = open_session()
    return session, session.process_frame

objects = [make() for _ in range(1 if SHARED else THREADS)]
n = objects[0][0].frame_length
inputs = np.random.default_rng(8).integers(
    -32768, 32768, size=(THREADS, ROUNDS, BLOCKS * n), dtype=np.int16)
outputs = np.zeros_like(inputs)
failures = []
barrier = threading.Barrier(THREADS)

def work(index):
    call = objects[0 if SHARED else index][1]
    barrier.wait()
    try:
        for round_ in range(ROUNDS):
            result = call(inputs[index, round_])
            assert result.dtype == np.int16 and result.shape == (BLOCKS * n,), result
            outputs[index, round_] = result
    except BaseException as error:
        failures.append((index, repr(error)))

threads = [threading.Thread(target=work, args=(index,)) for index in range(THREADS)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join(60)
assert not any(thread.is_alive() for thread in threads), "deadlock"
assert failures == [], failures[:3]
if engine is not None:  # the identity engine gives every caller exactly its own samples
    assert np.array_equal(outputs, inputs)
elif not SHARED:  # a session of its own per thread: each thread gets what its input gives alone
    for index in range(THREADS):
        alone, call = make()
        expected = [call(block) for block in inputs[index]]
        alone.close()
        assert np.array_equal(outputs[index], expected), index
for owner, _ in objects:
    owner.close()
"""


@pytest.mark.parametrize("kind", ENGINES)
@pytest.mark.parametrize("target", ["processor", "session"])
@pytest.mark.parametrize("shared", [True, False], ids=["one_for_8_threads", "8_on_8_threads"])
def test_every_caller_gets_its_own_blocks(
    make_package_copy: Callable[..., PackageCopy], kind: str, target: str, shared: bool
) -> None:
    runner(kind, make_package_copy)(
        checked(LOAD), TARGET=target, SHARED=shared, timeout=CHILD_TIMEOUT_S
    )


RACE = """
import random, threading, time
from orlune import OrluneProcessor

CLOSED = {"Orlune denoising session is closed", "OrluneProcessor has been closed",
          "OrluneProcessor has not been initialized"}  # the last: close() ran between two checks
ROUNDS, WORKERS = 30, 6
random.seed(5)
rng = np.random.default_rng(5)
problems = []
frames = []  # one entry per frame processed before the close

for round_ in range(ROUNDS):
    if TARGET == "processor":
        owner = OrluneProcessor()
        owner.initialize(48000)
        calls = [owner.process]
        block = rng.integers(-32768, 32768, 2 * owner.frame_length, dtype=np.int16)
    else:
        owner = open_session()
        calls = [owner.process_frame, lambda _: owner.reset()]
        block = rng.integers(-32768, 32768, owner.frame_length, dtype=np.int16)
    closed = threading.Event()
    start = threading.Barrier(WORKERS + 1)

    def work(offset):
        start.wait()
        for i in range(200_000):
            call = calls[(offset + i) % len(calls)]
            was_closed = closed.is_set()
            try:
                result = call(block)
            except RuntimeError as error:
                if str(error) not in CLOSED:
                    problems.append(repr(error))
                return
            if result is None:  # reset(): returns None, also once closed
                continue
            frames.append(1)
            if was_closed:
                problems.append("a frame was processed after close() returned")
            if result.dtype != np.int16 or result.shape != block.shape:
                problems.append(f"wrong result {result.dtype} {result.shape}")
        problems.append("close() never took effect")

    def close_soon():
        # Close once this round's frames are under way (however slow the build),
        # then after a random extra moment, so that the close lands amid them.
        start.wait()
        first_frame = len(frames)
        deadline = time.monotonic() + 10
        while len(frames) == first_frame and time.monotonic() < deadline:
            time.sleep(0.0001)
        time.sleep(random.uniform(0, 0.004))
        owner.close()
        closed.set()

    threads = [threading.Thread(target=work, args=(k,)) for k in range(WORKERS)]
    threads.append(threading.Thread(target=close_soon))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads), f"deadlock in round {round_}"
    assert problems == [], (round_, problems[:3])
assert len(frames) >= ROUNDS, f"only {len(frames)} frames ran before the closes"
"""


@pytest.mark.parametrize("kind", ENGINES)
@pytest.mark.parametrize("target", ["processor", "session"])
def test_close_racing_frames_and_resets_is_clean(
    make_package_copy: Callable[..., PackageCopy], kind: str, target: str
) -> None:
    runner(kind, make_package_copy)(checked(RACE), TARGET=target, timeout=CHILD_TIMEOUT_S)


def test_releasing_the_lock_from_python_cannot_free_a_running_session(
    engine_package: PackageCopy,
) -> None:
    """`_lock` is a threading.Lock that anyone may release; the engine call is still guarded."""
    engine_package.run(
        checked("""
        import threading, time
        session = open_session()
        frame = np.arange(480, dtype=np.int16)
        results = []
        engine.reset()
        engine.gate_close()
        worker = threading.Thread(target=lambda: results.append(session.process_frame(frame)))
        worker.start()
        assert engine.wait_for_waiting(1)
        session._lock.release()  # the worker's own release will then complain; that is all
        others = [threading.Thread(target=session.reset), threading.Thread(target=session.close)]
        for thread in others:
            thread.start()
        time.sleep(0.2)  # lets them reach the engine if nothing stops them
        assert engine.names() == ["process_frame"], engine.names()
        engine.gate_open()
        for thread in [worker, *others]:
            thread.join(10)
        assert np.array_equal(results[0], frame)
        assert engine.names()[-2:] == ["session_free", "model_free"], engine.names()
        expect_error(RuntimeError, session.process_frame, frame,
                     message="Orlune denoising session is closed")
        """),
        timeout=CHILD_TIMEOUT_S,
    )


def test_python_code_run_by_a_conversion_cannot_deadlock_the_session(
    engine_package: PackageCopy,
) -> None:
    """Input that is not a 1-D array converts through NumPy, which may run the caller's
    code; that code may use or close the very session it was handed to."""
    engine_package.run(
        checked("""
        session = open_session()
        seen = []

        class Reentrant:
            dtype, size = np.dtype(np.int16), 480
            def __array__(self, dtype=None, copy=None):
                seen.append(session.process_frame(np.ones(480, np.int16)))
                session.reset()
                session.close()
                return np.full(480, 5, dtype=np.int16)

        expect_error(RuntimeError, session.process_frame, Reentrant(),
                     message="Orlune denoising session is closed")
        assert np.array_equal(seen[0], np.ones(480, np.int16))
        assert not session._lock.locked()
        """),
        timeout=CHILD_TIMEOUT_S,
    )


def test_session_under_construction_refuses_other_callers(engine_package: PackageCopy) -> None:
    """An object made with __new__ is visible while __init__ runs; closing it then must not
    free the model that the constructor is about to open a session on."""
    engine_package.run(
        checked("""
        from orlune._orlune_nc import OrluneNC
        session = OrluneNC.__new__(OrluneNC)
        outcomes = []

        class Limit:
            def __float__(self):  # runs inside __init__, after the model was loaded
                for call in (session.close, session.reset,
                             lambda: session.process_frame(np.zeros(480, np.int16))):
                    try:
                        call()
                    except RuntimeError as error:
                        outcomes.append(str(error))
                return 100.0

        session.__init__(sample_rate=48000, attenuation_limit_db=Limit(), model_path=MODEL)
        assert outcomes == ["OrluneNC object is still being constructed"] * 3, outcomes
        frame = np.arange(480, dtype=np.int16)
        assert np.array_equal(session.process_frame(frame), frame)
        session.close()
        """),
        timeout=CHILD_TIMEOUT_S,
    )


def test_shared_stream_takes_one_call_at_a_time(engine_package: PackageCopy) -> None:
    """A second thread's chunk must not enter the stream while the first is in the engine:
    both would start from the same held-back samples, and one thread's would be lost."""
    engine_package.run(
        checked("""
        import threading, time
        from orlune import StreamDenoiser
        stream = StreamDenoiser(48000)
        first, second = np.arange(720, dtype=np.int16), np.arange(-720, 0, dtype=np.int16)
        outputs = {}
        engine.reset()
        engine.gate_close()
        thread_a = threading.Thread(target=lambda: outputs.update(a=stream.process(first)))
        thread_a.start()
        assert engine.wait_for_waiting(1)  # the first chunk's block is in the engine
        thread_b = threading.Thread(target=lambda: outputs.update(b=stream.process(second)))
        thread_b.start()
        time.sleep(0.1)  # lets the second call reach the stream
        engine.gate_open()
        thread_a.join(10)
        thread_b.join(10)
        out = np.concatenate([outputs["a"], outputs["b"], stream.flush()])
        stream.close()
        assert np.array_equal(out, np.concatenate([first, second])), out.size
        """),
        timeout=CHILD_TIMEOUT_S,
    )


DAEMONS_AT_EXIT = """
import threading, time
from orlune import OrluneProcessor, StreamDenoiser

def forever(call, samples):
    while True:
        call(samples)

shared = open_session()
processor = OrluneProcessor()
processor.initialize(48000)
stream = StreamDenoiser(16000)
work = [(open_session().process_frame, np.zeros(480, np.int16)),
        (shared.process_frame, np.ones(480, np.int16)),  # two threads on one session:
        (shared.process_frame, np.ones(480, np.int16)),  # one waits for its lock
        (shared.reset, None),
        (processor.process, np.zeros(4800, np.int16)),  # the native loop, with telemetry
        (stream.process, np.zeros(1000, np.float32))]
for call, samples in work:
    threading.Thread(target=forever, args=(call, samples), daemon=True).start()
time.sleep(DELAY)
"""


@pytest.mark.parametrize("delay", [0.0, 0.01, 0.05])
def test_daemon_threads_in_the_engine_when_the_interpreter_exits(
    make_package_copy: Callable[..., PackageCopy], delay: float
) -> None:
    """The interpreter ends such threads as it shuts down; that used to abort the process."""
    runner("real", make_package_copy)(DAEMONS_AT_EXIT, DELAY=delay, timeout=CHILD_TIMEOUT_S)
