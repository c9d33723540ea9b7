"""Sessions under threads: the GIL is released in the engine and while waiting for a lock.

Nothing here measures time. The test engine's gate holds frames inside the
engine until released and counts how many calls are inside at once; a binding
that kept the GIL could never get two threads in, so the count stays at 1 and
the gate's failsafe timeout (counted too) is what lets the child finish.
"""

from __future__ import annotations

from engine_harness import PackageCopy

THREAD_TIMEOUT_S = 40.0


def test_two_sessions_on_two_threads_are_inside_the_engine_together(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import threading
        sessions = {1000: open_session(), -1000: open_session()}
        results = {}
        barrier = threading.Barrier(2)

        def work(value):
            barrier.wait()
            results[value] = sessions[value].process_frame(np.full(480, value, dtype=np.int16))

        engine.reset()
        engine.gate_close()
        threads = [threading.Thread(target=work, args=(value,)) for value in sessions]
        for thread in threads:
            thread.start()
        both_inside = engine.wait_for_waiting(2)
        engine.gate_open()
        for thread in threads:
            thread.join()

        inside_together = engine.counter("max_calls_inside")
        assert both_inside and inside_together == 2, f"at most {inside_together} inside at once"
        assert engine.counter("gate_timeouts") == 0
        for value, result in results.items():
            assert np.array_equal(result, np.full(480, value, dtype=np.int16)), value
        """,
        timeout=THREAD_TIMEOUT_S,
    )


def test_waiting_for_a_busy_session_keeps_the_interpreter_running(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import threading, time
        session = open_session()
        frames = {"holder": np.full(480, 7, np.int16), "waiter": np.full(480, -7, np.int16)}
        results = {}

        def process(name):
            results[name] = session.process_frame(frames[name])

        engine.reset()
        engine.gate_close()
        holder = threading.Thread(target=process, args=("holder",))
        holder.start()
        assert engine.wait_for_waiting(1)
        waiter = threading.Thread(target=process, args=("waiter",))
        waiter.start()
        time.sleep(0.05)  # lets the waiter reach the session lock; the checks do not rely on it

        # With the holder parked in the engine and the waiter blocked on the lock,
        # other Python threads must still run.
        progress = []
        bystander = threading.Thread(target=lambda: progress.extend(range(1000)))
        bystander.start()
        bystander.join()
        assert progress == list(range(1000)) and session._lock.locked()
        engine.gate_open()
        holder.join()
        waiter.join()

        assert engine.counter("gate_timeouts") == 0, "the interpreter froze until the gate gave up"
        assert engine.counter("max_calls_inside") == 1 and engine.counter("session_overlaps") == 0
        for name, frame in frames.items():
            assert np.array_equal(results[name], frame), name
        """,
        timeout=THREAD_TIMEOUT_S,
    )


def test_one_session_under_eight_threads_answers_each_caller_with_its_own_frames(
    engine_package: PackageCopy,
) -> None:
    engine_package.run(
        """
        import threading
        session = open_session()
        rng = np.random.default_rng(8)
        frames = rng.integers(-32768, 32768, size=(8, 40, 480), dtype=np.int16)
        barrier = threading.Barrier(8)
        failures = []

        def work(index):
            barrier.wait()
            try:
                for number, frame in enumerate(frames[index]):
                    if not np.array_equal(session.process_frame(frame), frame):
                        failures.append((index, number))
            except BaseException as error:
                failures.append((index, repr(error)))

        engine.reset()
        threads = [threading.Thread(target=work, args=(index,)) for index in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == [], failures[:5]
        assert len(engine.calls("process_frame")) == 8 * 40
        assert engine.counter("session_overlaps") == 0 and engine.counter("bad_handle_calls") == 0
        """,
        timeout=THREAD_TIMEOUT_S,
    )


def test_close_waits_for_a_frame_in_progress(engine_package: PackageCopy) -> None:
    engine_package.run(
        """
        import threading, time
        session = open_session()
        engine.reset()
        engine.gate_close()
        silence = np.zeros(480, dtype=np.int16)
        frame = threading.Thread(target=session.process_frame, args=(silence,))
        frame.start()
        assert engine.wait_for_waiting(1)
        closer = threading.Thread(target=session.close)
        closer.start()
        time.sleep(0.05)  # lets close() reach the session lock
        assert engine.names() == ["process_frame"], "close() freed handles under a running frame"
        engine.gate_open()
        frame.join()
        closer.join()
        assert engine.names() == ["process_frame", "session_free", "model_free"]
        assert engine.counter("freed_while_busy") == 0 and engine.counter("live_sessions") == 0
        """,
        timeout=THREAD_TIMEOUT_S,
    )
