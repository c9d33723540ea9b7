#!/usr/bin/env python3
"""Engine speed: real-time factor per stream on one core at each of the engine's rates
(by wall clock and by the thread's CPU time), per-frame time, and two streams on two
threads against one.

    python bench/speed.py [--seconds 20] [--model ID]
    python bench/speed.py [--seconds 20] --bundle PATH

--bundle times a bundle file that is not packaged (a learned one being trained, say); for a
learned bundle the network's size and cost are printed too. A learned bundle of the reference
shape with random weights, for measuring before any training:
    python engine/tools/make_bundle.py --random-learned /tmp/random.bin

Frames go straight to the installed engine library through ctypes (which releases the
interpreter lock during the call), so the figures are the engine's own plus a call's
overhead of about a microsecond. End-to-end figures through OrluneProcessor follow.
`--model` picks a packaged model (`orlune models` lists them; default: the default).
"""

from __future__ import annotations

import argparse
import ctypes
import os
import sys
import threading
import time
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

import orlune
from orlune._checks import SUPPORTED_RATES, quantise
from orlune._model_store import DEFAULT_MODEL_ID, PinnedModelStore, UnknownModelError

PACKAGE_DIR = Path(orlune.__file__).resolve().parent
LIBRARY = PACKAGE_DIR / "resources" / "lib" / "liborlune_nc.so"
MAKE_BUNDLE_DIR = Path(__file__).resolve().parents[1] / "engine" / "tools"
FLOAT_POINTER = ctypes.POINTER(ctypes.c_float)


def load_engine() -> Any:
    lib = ctypes.CDLL(str(LIBRARY))
    lib.kelvo_nc_model_load_from_path.argtypes = [ctypes.c_char_p]
    lib.kelvo_nc_model_load_from_path.restype = ctypes.c_void_p
    lib.kelvo_nc_model_free.argtypes = [ctypes.c_void_p]
    lib.kelvo_nc_session_create.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_float]
    lib.kelvo_nc_session_create.restype = ctypes.c_void_p
    lib.kelvo_nc_session_free.argtypes = [ctypes.c_void_p]
    lib.kelvo_nc_get_frame_length.argtypes = [ctypes.c_void_p]
    lib.kelvo_nc_get_frame_length.restype = ctypes.c_size_t
    lib.kelvo_nc_process_frame.argtypes = [ctypes.c_void_p, FLOAT_POINTER, FLOAT_POINTER]
    lib.kelvo_nc_process_frame.restype = ctypes.c_float
    return lib


def test_signal(rate: int, seconds: float) -> np.ndarray[Any, np.dtype[np.float32]]:
    """Noise with a syllable-rate modulated harmonic complex on top."""
    rng = np.random.default_rng(1)
    t = np.arange(int(rate * seconds)) / rate
    voiced = sum(np.sin(2 * np.pi * 140.0 * h * t) / h for h in range(1, 20))
    signal = 0.05 * rng.standard_normal(len(t)) + 0.1 * voiced * (0.5 + 0.5 * np.sin(2 * np.pi * 4 * t))
    return signal.astype(np.float32)


def run_stream(
    lib: Any, model: int, rate: int, signal: np.ndarray[Any, Any]
) -> tuple[np.ndarray[Any, Any], float]:
    """Per-frame engine times in seconds for one stream over `signal`, and the CPU
    seconds the calling thread spent on the whole loop."""
    session = lib.kelvo_nc_session_create(model, rate, 100.0)
    try:
        n = int(lib.kelvo_nc_get_frame_length(session))
        frames = len(signal) // n
        output = np.empty(n, np.float32)
        out_pointer = output.ctypes.data_as(FLOAT_POINTER)
        pointers = [signal[i * n : (i + 1) * n].ctypes.data_as(FLOAT_POINTER) for i in range(frames)]
        times = np.empty(frames)
        process = lib.kelvo_nc_process_frame
        clock = time.perf_counter
        cpu_start = time.thread_time()
        for i, pointer in enumerate(pointers):
            start = clock()
            process(session, pointer, out_pointer)
            times[i] = clock() - start
        return times, time.thread_time() - cpu_start
    finally:
        lib.kelvo_nc_session_free(session)


def single_core(rate: int, lib: Any, model: int, seconds: float) -> None:
    signal = test_signal(rate, seconds)
    times, cpu = run_stream(lib, model, rate, signal)
    audio_seconds = len(times) * 0.01
    print(
        f"{rate:>6} Hz  RTF {times.sum() / audio_seconds:.4f}  CPU RTF {cpu / audio_seconds:.4f}   "
        f"frame p50 {np.percentile(times, 50) * 1e6:6.1f} us   p99 {np.percentile(times, 99) * 1e6:6.1f} us   "
        f"({len(times)} frames)"
    )


def threads(rate: int, lib: Any, model: int, seconds: float, count: int) -> float:
    signal = test_signal(rate, seconds)
    barrier = threading.Barrier(count)

    def work() -> None:
        barrier.wait()
        run_stream(lib, model, rate, signal)

    workers = [threading.Thread(target=work) for _ in range(count)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def end_to_end(rate: int, seconds: float, store: PinnedModelStore) -> None:
    processor = orlune.OrluneProcessor(_model_store=store)
    processor.initialize(rate)
    try:
        signal = test_signal(rate, seconds)
        n = processor.frame_length
        samples = quantise(signal)[: len(signal) // n * n]
        start, cpu_start = time.perf_counter(), time.thread_time()
        processor.process(samples)
        elapsed, cpu = time.perf_counter() - start, time.thread_time() - cpu_start
    finally:
        processor.close()
    audio_seconds = len(samples) / rate
    print(f"{rate:>6} Hz  RTF {elapsed / audio_seconds:.4f}  CPU RTF {cpu / audio_seconds:.4f}")


def describe_network(bundle: Path) -> None:
    """Parameter count and multiply-adds per second of audio of a learned bundle's network."""
    sys.path.insert(0, str(MAKE_BUNDLE_DIR))
    import make_bundle

    try:
        sections = make_bundle.decode_sections(bundle.read_bytes())
    except ValueError:
        return
    parameters, per_frame = make_bundle.network_cost(sections)
    if parameters:
        print(f"network: {parameters} parameters, {per_frame * 100 / 1e6:.1f} M multiply-adds per second of audio")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=20.0, help="audio per stream")
    parser.add_argument("--model", default=DEFAULT_MODEL_ID, metavar="ID", help="packaged model to time")
    parser.add_argument("--bundle", type=Path, help="a bundle file to time instead of a packaged model")
    args = parser.parse_args(argv)
    try:
        store = PinnedModelStore(args.model)
    except UnknownModelError as error:
        parser.error(str(error))
    bundle = args.bundle or store.artifact.path

    lib = load_engine()
    model = lib.kelvo_nc_model_load_from_path(str(bundle).encode())
    if not model:
        print(f"the bundle at {bundle} did not load")
        return 1
    describe_network(bundle)
    try:
        if args.bundle:
            print(f"bundle {bundle}\n")
        else:
            print(f"model {args.model} version {store.model.model_version} ({bundle.name})\n")
        cores = sorted(os.sched_getaffinity(0))
        print(f"one stream on one core (pinned to CPU {cores[0]}):")
        os.sched_setaffinity(0, {cores[0]})
        try:
            for rate in SUPPORTED_RATES:
                single_core(rate, lib, model, args.seconds)
        finally:
            os.sched_setaffinity(0, set(cores))

        print(f"\nthreads at 48000 Hz, {args.seconds:.0f} s of audio per stream ({len(cores)} cores available):")
        one = threads(48000, lib, model, args.seconds, 1)
        two = threads(48000, lib, model, args.seconds, 2)
        print(f"  one stream  {one:.3f} s wall")
        print(f"  two streams {two:.3f} s wall  -> throughput x{2 * one / two:.2f} of one stream")
        print("\nend to end through OrluneProcessor (one call per stream):")
        for rate in SUPPORTED_RATES:
            end_to_end(rate, args.seconds, store)
    finally:
        lib.kelvo_nc_model_free(model)
    return 0


if __name__ == "__main__":
    sys.exit(main())
