#!/usr/bin/env python3
"""Batch throughput: hours of audio denoised per hour of wall time, for WAV and MP4
(H.264 + AAC) files, in this process and on a local Dask cluster of 1 and 2 workers.

    python bench/batch.py [--files 8] [--seconds 60]

Every configuration denoises the same generated files into a fresh folder, once to
warm up (imports, engine loading) and once timed, and the figure includes everything a user waits for: reading, decoding, denoising,
encoding, writing, and for the cluster the scheduling (the cluster is started
before the clock starts). Beside the wall-clock figure, hours of audio per CPU-hour
(of this process, or of the worker processes), which a busy host does not lower:
times the cores of a dedicated machine, it is what each added machine is expected
to give. Needs orlune[media,cluster].
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import av
import numpy as np
import soundfile as sf
from distributed import Client, LocalCluster

import orlune.batch

RATE = 48000


def noisy_speech(seconds: float, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * RATE)) / RATE
    voiced = 0.3 * np.sin(2 * np.pi * 180 * t) * (np.sin(2 * np.pi * 2 * t) > 0)
    return (voiced + 0.03 * rng.standard_normal(t.size)).astype(np.float32)


def write_mp4(path: Path, audio: np.ndarray) -> None:
    with av.open(str(path), "w") as output:
        sound = output.add_stream("aac", rate=RATE)
        sound.layout, sound.bit_rate = "mono", 96_000
        picture = output.add_stream("libx264", rate=25)
        picture.width, picture.height, picture.pix_fmt = 320, 240, "yuv420p"
        for index in range(int(audio.size / RATE * 25)):
            image = np.full((240, 320, 3), index % 255, np.uint8)
            frame = av.VideoFrame.from_ndarray(image, format="rgb24")
            frame.pts = index
            output.mux(picture.encode(frame))
        output.mux(picture.encode(None))
        frame = av.AudioFrame.from_ndarray(audio.reshape(1, -1), format="flt", layout="mono")
        frame.sample_rate, frame.pts = RATE, 0
        output.mux(sound.encode(frame))
        output.mux(sound.encode(None))


def make_inputs(folder: Path, kind: str, files: int, seconds: float) -> list[str]:
    paths = []
    for index in range(files):
        path = folder / f"{kind}{index:03d}.{kind}"
        audio = noisy_speech(seconds, index)
        if kind == "wav":
            sf.write(path, audio, RATE, subtype="PCM_16")
        else:
            write_mp4(path, audio)
        paths.append(str(path))
    return paths


def measure(
    run: Callable[[str], list[Any]], work: Path, cpu_clock: Callable[[], float]
) -> tuple[float, float, float]:
    """Runs once untimed (imports and engine loading in every process), then timed;
    returns the seconds of audio, of wall time and of CPU time (`cpu_clock`) spent."""
    for out in (work / "warm-up", work / "out"):
        shutil.rmtree(out, ignore_errors=True)
    run(str(work / "warm-up"))
    out = work / "out"
    started, cpu_started = time.perf_counter(), cpu_clock()
    records = run(str(out))
    wall, cpu = time.perf_counter() - started, cpu_clock() - cpu_started
    failures = [record.error for record in records if record.status != "ok"]
    if failures:
        raise SystemExit(f"files failed: {failures}")
    return sum(record.audio_seconds for record in records), wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=60.0)
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="orlune-bench-") as folder:
        work = Path(folder)
        for kind in ("wav", "mp4"):
            inputs = make_inputs(work, kind, arguments.files, arguments.seconds)

            def here(out: str, inputs: list[str] = inputs) -> list[Any]:
                return orlune.batch.denoise_files(inputs, out_dir=out)

            report(kind, "in-process", *measure(here, work, time.process_time))
            for workers in (1, 2):
                with LocalCluster(
                    n_workers=workers, threads_per_worker=1, dashboard_address=":0"
                ) as cluster, Client(cluster) as client:

                    def on_cluster(out: str, inputs: list[str] = inputs) -> list[Any]:
                        return orlune.batch.denoise_files(inputs, out_dir=out, client=client)

                    def workers_cpu() -> float:  # the CPU time of every worker process
                        return float(sum(client.run(time.process_time).values()))

                    figures = measure(on_cluster, work, workers_cpu)
                report(kind, f"{workers} worker{'s' if workers > 1 else ''}", *figures)


def report(kind: str, where: str, audio: float, wall: float, cpu: float) -> None:
    # On a busy host the wall-clock figure drops while the per-CPU-hour one holds:
    # the latter times the number of cores is what a dedicated machine gives.
    print(
        f"{kind:4s} {where:11s} {audio / 3600:6.3f} h of audio in {wall:6.1f} s:"
        f" {audio / wall:5.0f} h of audio per hour of wall time,"
        f" {audio / cpu:5.0f} per CPU-hour",
        flush=True,
    )


if __name__ == "__main__":
    main()
