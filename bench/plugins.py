#!/usr/bin/env python3
"""The LADSPA and LV2 plugins as a host sees them: instantiation time, and the time of each
`run` call at the quanta PipeWire uses (32, 256 and 1024 frames at 48 kHz).

    python bench/plugins.py [--seconds 20]

The plugins of the installed package are driven through ctypes (tests/support/plugin_host.py),
so every figure includes a ctypes call, about a microsecond. A `run` that completes an
engine frame does that frame's work; at quanta below the frame (480 samples) no call
does more than one frame, which the "one frame" line gives for comparison. Each call is
timed twice: wall time, which on a busy machine includes the time the thread was
preempted, and the thread's CPU time, which is the plugin's own work.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Sequence
from pathlib import Path

import numpy as np

import orlune

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "support"))
from plugin_host import Plugin

RATE = 48000
QUANTA = (32, 256, 1024)
INSTANCES = 200
PLUGINS_DIR = Path(orlune.__file__).resolve().parent / "resources" / "plugins"
LIBRARIES = {
    "ladspa": PLUGINS_DIR / "ladspa" / "orlune.so",
    "lv2": PLUGINS_DIR / "lv2" / "orlune.lv2" / "orlune.so",
}


def instantiate_ms(library: Path, stereo: bool) -> tuple[np.ndarray, np.ndarray]:
    """Wall and CPU time of each instantiation (with the host's port set-up and the
    plugin's activate), in milliseconds."""
    Plugin(library, stereo, RATE).close()  # the first one also loads the library
    wall, cpu = [], []
    for _ in range(INSTANCES):
        begin, begin_cpu = time.perf_counter_ns(), time.thread_time_ns()
        plugin = Plugin(library, stereo, RATE)
        cpu.append(time.thread_time_ns() - begin_cpu)
        wall.append(time.perf_counter_ns() - begin)
        plugin.close()
    return np.array(wall) / 1e6, np.array(cpu) / 1e6


def run_us(
    library: Path, stereo: bool, quantum: int, seconds: float
) -> tuple[np.ndarray, np.ndarray]:
    """Wall and CPU time of each call, in microseconds."""
    channels = 2 if stereo else 1
    rng = np.random.default_rng(7)
    audio = (0.1 * rng.standard_normal((channels, int(seconds * RATE)))).astype(np.float32)
    wall, cpu = [], []
    with Plugin(library, stereo, RATE) as plugin:
        for start in range(0, audio.shape[1] - quantum + 1, quantum):
            plugin.feed(audio[:, start : start + quantum])
            begin, begin_cpu = time.perf_counter_ns(), time.thread_time_ns()
            plugin.run(quantum)
            cpu.append(time.thread_time_ns() - begin_cpu)
            wall.append(time.perf_counter_ns() - begin)
    return np.array(wall) / 1e3, np.array(cpu) / 1e3


def figures(times: np.ndarray, decimals: int = 1) -> str:
    return (
        f"median {np.median(times):6.{decimals}f}, p99 {np.percentile(times, 99):6.{decimals}f},"
        f" max {times.max():8.{decimals}f}"
    )


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="audio per quantum")
    args = parser.parse_args(argv)
    print(f"{RATE} Hz, {INSTANCES} instances, {args.seconds:g} s of noise per quantum")
    for name, library in LIBRARIES.items():
        for stereo in (False, True):
            label = f"{name} {'stereo' if stereo else 'mono'}"
            wall, cpu = instantiate_ms(library, stereo)
            print(f"{label:14} instantiate ms: wall {figures(wall, 3)}; cpu {figures(cpu, 3)}")
            for quantum in (*QUANTA, 480):
                wall, cpu = run_us(library, stereo, quantum, args.seconds)
                what = (
                    "one frame"
                    if quantum == 480
                    else f"the quantum lasts {quantum / RATE * 1e6:.0f}"
                )
                print(
                    f"{label:14} run({quantum:4}) us: wall {figures(wall)};"
                    f" cpu {figures(cpu)}  ({what})"
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
