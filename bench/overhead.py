#!/usr/bin/env python3
"""Per-block cost of OrluneProcessor.process beyond the engine call itself.

Runs 60 s of 48 kHz audio through the identity test engine (the one the tests
build) and prints the median cost per 480-sample block, over alternating runs,
for: the native block loop with the default telemetry reporter, the same with a
no-op reporter, the generic loop (a Python session object wrapping an OrluneNC),
and the floor: a plain C++ loop doing the same conversions around the same
engine, built with the extension's release flags (-O3 -DNDEBUG -std=c++20).
Times are CPU time of the measuring thread, so that other load on a shared host
(preemption) stays out of them.

    python bench/overhead.py [--runs 21]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "support"))

from engine_harness import build_test_engine, copy_package  # noqa: E402

BLOCKS = 6000  # 60 s at 48 kHz in 10 ms blocks
FLOOR_FLAGS = ["-O3", "-DNDEBUG", "-std=c++20"]

CHILD = """
import ctypes, json, time
from orlune._processor import OrluneProcessor

floor_library = ctypes.CDLL(str(FLOOR))
floor_library.overhead_floor.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_long]
floor_library.overhead_floor.restype = ctypes.c_double

def floor():
    return floor_library.overhead_floor(bytes(LIBRARY), bytes(MODEL), BLOCKS)

class NoopReporter:
    def record_block(self, *, sample_rate_hz, block_samples, inference_duration_ns):
        pass
    def close(self):
        pass

class PythonSession:
    def __init__(self, session):
        self.session = session
        self.frame_length = session.frame_length
    def process_frame(self, samples):
        return self.session.process_frame(samples)
    def close(self):
        self.session.close()

def native(reporter):
    p = OrluneProcessor(_telemetry_reporter=reporter)
    p.initialize(48000)
    return p

def generic():
    source = OrluneProcessor(_telemetry_reporter=NoopReporter())
    p = OrluneProcessor(_session_factory=lambda rate: PythonSession(source._create_native_session(rate)),
                        _telemetry_reporter=NoopReporter())
    p.initialize(48000)
    return p

processors = {"native, default reporter": native(None), "native, no-op reporter": native(NoopReporter()),
              "generic (Python session)": generic()}
audio = (np.arange(480 * BLOCKS) * 7919).astype(np.int16)
timings = {name: [] for name in ["floor", *processors]}
for _ in range(RUNS):
    engine.reset()
    timings["floor"].append(floor())
    for name, p in processors.items():
        engine.reset()
        started = time.thread_time_ns()
        p.process(audio)
        timings[name].append((time.thread_time_ns() - started) / BLOCKS)
print(json.dumps(timings))
"""


def build_floor(work: Path) -> Path:
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        raise SystemExit("overhead.py needs a C++ compiler (c++ or g++) on PATH")
    library = work / "liboverhead_floor.so"
    subprocess.run(
        [compiler, *FLOOR_FLAGS, "-shared", "-fPIC", "-fvisibility=hidden",
         "-I", str(ROOT / "src" / "orlune"), str(ROOT / "bench" / "overhead_floor.cpp"),
         "-o", str(library), "-ldl"],
        check=True,
    )  # fmt: skip
    return library


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=21, help="alternating runs per configuration (default 21)")
    args = parser.parse_args()
    # NumPy's BLAS threads spin for a while after start-up; on a small machine
    # they compete with the measured thread, and nothing here uses BLAS.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    with tempfile.TemporaryDirectory(prefix="orlune-overhead-") as scratch:
        work = Path(scratch)
        copy = copy_package(work / "site", build_test_engine(work / "engine"))
        result = copy.run(CHILD, BLOCKS=BLOCKS, RUNS=args.runs, FLOOR=build_floor(work), timeout=600)
    timings: dict[str, list[float]] = json.loads(result.stdout)
    floor_runs = timings.pop("floor")
    if min(floor_runs) < 0:
        raise SystemExit("the floor could not open the test engine")

    # Each round runs the floor and every configuration back to back, so the
    # differences within a round share the machine's state; their median is
    # steadier than a difference of medians on a machine that others use too.
    def above(name: str, reference: list[float]) -> float:
        return statistics.median(run - base for run, base in zip(timings[name], reference))

    print(f"per 480-sample block, median of {args.runs} alternating runs of {BLOCKS} blocks (60 s at 48 kHz)")
    print(f"{'configuration':<28}{'ns/block':>10}{'above floor':>13}")
    print(f"{'floor (plain C++ loop)':<28}{statistics.median(floor_runs):>10.0f}{'':>13}")
    for name, values in timings.items():
        print(f"{name:<28}{statistics.median(values):>10.0f}{above(name, floor_runs):>13.0f}")
    noop = above("native, no-op reporter", floor_runs)
    default = above("native, default reporter", timings["native, no-op reporter"])
    print(f"targets: no-op reporter <= 800 ns above floor: {noop:.0f} ns; "
          f"default reporter <= 1500 ns above no-op: {default:.0f} ns")

if __name__ == "__main__":
    main()
