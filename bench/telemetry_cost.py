"""Per-call cost of ``TelemetryReporter.record_block``, the per-block hot path.

Prints the median over repeated timeit runs, beside the cost of calling an
empty function with the same keyword arguments (the floor any Python-level
reporter pays), and the cost while a second thread records too (the two share
the interpreter lock, so about twice the single-thread figure is expected).

    python bench/telemetry_cost.py [--calls N] [--repeats R]
"""

from __future__ import annotations

import argparse
import statistics
import threading
import timeit

from orlune._telemetry import TelemetryClient, TelemetryReporter


def _noop(*, sample_rate_hz: int, block_samples: int, inference_duration_ns: int) -> None:
    pass


def _median_ns_per_call(statement: str, namespace: dict[str, object], calls: int, repeats: int) -> float:
    totals = timeit.repeat(statement, globals=namespace, number=calls, repeat=repeats)
    return statistics.median(totals) / calls * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200_000, help="calls per timeit run")
    parser.add_argument("--repeats", type=int, default=7, help="timeit runs; the median is shown")
    args = parser.parse_args()

    reporter = TelemetryReporter(sink=TelemetryClient(), sdk_version="bench")
    # 10 ms blocks at 48 kHz with a 40 us inference, as the processor reports them.
    call = "record(sample_rate_hz=48000, block_samples=480, inference_duration_ns=40_000)"
    for label, function in (
        ("empty function, same arguments", _noop),
        ("record_block", reporter.record_block),
    ):
        cost = _median_ns_per_call(call, {"record": function}, args.calls, args.repeats)
        print(f"{label:<45} {cost:8.1f} ns/call")

    stop = threading.Event()

    def contend() -> None:
        while not stop.is_set():
            reporter.record_block(sample_rate_hz=16000, block_samples=160, inference_duration_ns=7)

    rival = threading.Thread(target=contend)
    rival.start()
    try:
        cost = _median_ns_per_call(call, {"record": reporter.record_block}, args.calls, args.repeats)
    finally:
        stop.set()
        rival.join()
    print(f"{'record_block, with a second recording thread':<45} {cost:8.1f} ns/call")
    print(f"blocks recorded: {reporter.snapshot().blocks}")


if __name__ == "__main__":
    main()
