"""Denoising one file, and many files in parallel processes."""

from __future__ import annotations

import math
import multiprocessing
import threading
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from multiprocessing.queues import Queue
from typing import Any

import numpy as np
import soundfile as sf  # type: ignore[import-untyped]

from .._audio_io import AudioFileError, atomic_output
from .._pipeline import DenoisePipeline
from .plan import FileTask

# Audio is read, denoised and written this many seconds at a time, so memory
# stays flat however long the file.
_READ_SECONDS = 5

ProgressCallback = Callable[[float], None]  # called with seconds of audio just done


@dataclass(frozen=True)
class FileResult:
    task: FileTask
    error: str | None = None
    wall_seconds: float = 0.0
    mean_speech_probability: float = math.nan
    clipped_samples: int = 0
    report_error: str | None = None


def _denoise_to_target(
    task: FileTask, pipeline: DenoisePipeline, progress: ProgressCallback | None
) -> None:
    info = task.info
    dtype = np.dtype(info.read_dtype)
    block = max(1, _READ_SECONDS * info.sample_rate)
    with (
        atomic_output(task.target) as temporary,
        sf.SoundFile(str(task.source)) as source,
        sf.SoundFile(
            str(temporary),
            "w",
            samplerate=info.sample_rate,
            channels=info.channels,
            subtype=info.subtype,
            format=task.target_format,
        ) as target,
    ):
        for frames in source.blocks(blocksize=block, dtype=info.read_dtype, always_2d=True):
            target.write(pipeline.push(frames))
            if progress is not None:
                progress(frames.shape[0] / info.sample_rate)
        target.write(pipeline.finish(dtype))


def denoise_file(task: FileTask, progress: ProgressCallback | None = None) -> FileResult:
    """Denoises one file (and draws its report); returns what happened, never raises."""
    started = time.perf_counter()
    try:
        pipeline = DenoisePipeline(
            task.info.sample_rate,
            task.info.channels,
            task.attenuation_limit_db,
            keep_trace=task.report is not None,
        )
        try:
            _denoise_to_target(task, pipeline, progress)
        finally:
            pipeline.close()
    except AudioFileError as error:
        return FileResult(task, error=str(error))
    except Exception as error:  # any failure of one file is reported, and the others go on
        return FileResult(task, error=f"{task.source}: {type(error).__name__}: {error}")
    wall = time.perf_counter() - started
    report_error = None
    if task.report is not None:
        report_error = _write_report(task, pipeline)
    return FileResult(
        task,
        wall_seconds=wall,
        mean_speech_probability=pipeline.mean_speech_probability,
        clipped_samples=pipeline.clipped_samples,
        report_error=report_error,
    )


def _write_report(task: FileTask, pipeline: DenoisePipeline) -> str | None:
    from .._report import write_report

    assert task.report is not None and pipeline.trace is not None
    frame_seconds = pipeline.frame_length / pipeline.engine_rate
    try:
        write_report(
            task.report,
            task.source,
            task.target,
            pipeline.trace,
            frame_seconds=frame_seconds,
            delay_seconds=pipeline.engine_latency / pipeline.engine_rate,
        )
    except Exception as error:
        return f"{task.report}: cannot write the report: {type(error).__name__}: {error}"
    return None


# Set in each worker process: where it sends its progress, or None.
_worker_progress: Queue[float] | None = None


def _start_worker(progress: Queue[float] | None) -> None:
    global _worker_progress
    _worker_progress = progress


def _denoise_in_worker(task: FileTask) -> FileResult:
    queue = _worker_progress
    return denoise_file(task, queue.put if queue is not None else None)


def run_all(
    tasks: Sequence[FileTask],
    jobs: int,
    progress: ProgressCallback | None,
    on_result: Callable[[FileResult], None],
) -> None:
    """Denoises every task, `jobs` files at a time, calling `on_result` as each ends."""
    if jobs == 1 or len(tasks) <= 1:
        for task in tasks:
            on_result(denoise_file(task, progress))
        return
    # Spawned rather than forked: a fork would copy the parent's threads and loaded engine.
    context = multiprocessing.get_context("spawn")
    queue: Queue[Any] | None = context.Queue() if progress is not None else None
    listener = threading.Thread(target=_relay, args=(queue, progress), daemon=True)
    if queue is not None:
        listener.start()
    try:
        with ProcessPoolExecutor(
            max_workers=min(jobs, len(tasks)),
            mp_context=context,
            initializer=_start_worker,
            initargs=(queue,),
        ) as pool:
            futures = {pool.submit(_denoise_in_worker, task): task for task in tasks}
            try:
                for future in as_completed(futures):
                    on_result(_result_of(future, futures[future]))
            except BaseException:
                pool.shutdown(wait=True, cancel_futures=True)
                raise
    finally:
        if queue is not None:
            queue.put(None)
            listener.join()


def _result_of(future: Future[FileResult], task: FileTask) -> FileResult:
    try:
        return future.result()
    except Exception as error:  # the worker process died, e.g. killed or out of memory
        return FileResult(task, error=f"{task.source}: the worker failed: {error!r}")


def _relay(queue: Queue[Any] | None, progress: ProgressCallback | None) -> None:
    assert queue is not None and progress is not None
    while (seconds := queue.get()) is not None:
        progress(seconds)
