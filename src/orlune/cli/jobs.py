"""Denoising one file, and many files in parallel processes."""

from __future__ import annotations

import math
import multiprocessing
import signal
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from multiprocessing.queues import Queue
from multiprocessing.synchronize import Event as EventType
from typing import Any

import numpy as np
import soundfile as sf  # type: ignore[import-untyped]
from numpy.typing import NDArray

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
    clipped: str | None = None  # what was done to float samples the engine cannot take
    report_error: str | None = None
    report_warning: str | None = None


def _blocks_of(source: sf.SoundFile, frames: int, dtype: str) -> Iterator[NDArray[Any]]:
    # Read in turn rather than through `SoundFile.blocks`, which refuses files that
    # libsndfile cannot seek in (GSM 6.10 WAV, for one) although they read fine.
    while (block := source.read(frames, dtype=dtype, always_2d=True)).shape[0]:
        yield block


def _denoise_to_target(
    task: FileTask, pipeline: DenoisePipeline, progress: ProgressCallback | None
) -> None:
    info = task.info
    dtype = np.dtype(info.read_dtype)
    block = max(1, _READ_SECONDS * info.sample_rate)
    with (
        atomic_output(task.target) as descriptor,
        sf.SoundFile(str(task.source)) as source,
        sf.SoundFile(
            descriptor,
            "w",
            samplerate=info.sample_rate,
            channels=info.channels,
            subtype=info.subtype,
            format=task.target_format,
            closefd=False,
        ) as target,
    ):
        for frames in _blocks_of(source, block, info.read_dtype):
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
            model=task.model,
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
    report_error = report_warning = None
    if task.report is not None:
        report_error, report_warning = _write_report(task, pipeline)
    return FileResult(
        task,
        wall_seconds=wall,
        mean_speech_probability=pipeline.mean_speech_probability,
        clipped=pipeline.clipped.message() if pipeline.clipped else None,
        report_error=report_error,
        report_warning=report_warning,
    )


def _write_report(task: FileTask, pipeline: DenoisePipeline) -> tuple[str | None, str | None]:
    """Draws the report; returns an error or a warning message, or neither."""
    from .._report import ReportTooShort, write_report

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
    except ReportTooShort as short:
        return None, f"{task.source}: {short}; no report written"
    except Exception as error:
        return f"{task.report}: cannot write the report: {type(error).__name__}: {error}", None
    return None, None


class StopRequested(BaseException):
    """SIGTERM or SIGHUP arrived: everything stops as for SIGINT (KeyboardInterrupt),
    abandoning the files being written."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# Signals that stop a run as Ctrl-C does (Windows has no SIGHUP).
STOP_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name)
)


def raise_stop(signum: int, frame: object) -> None:
    """A signal handler that turns the signal into `StopRequested`."""
    raise StopRequested(signum)


# Set in each worker process: where it sends its progress (or None), and the
# parent's request to stop.
_worker_progress: Queue[float] | None = None
_worker_stop: EventType | None = None


def _start_worker(progress: Queue[float] | None, stop: EventType) -> None:
    global _worker_progress, _worker_stop
    _worker_progress, _worker_stop = progress, stop
    # The parent handles Ctrl-C (which a terminal sends to every worker too) by
    # setting `stop`; a SIGTERM or SIGHUP sent to a worker abandons its file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in STOP_SIGNALS:
        signal.signal(signum, raise_stop)


def _worker_progress_callback(seconds: float) -> None:
    # Called after each block: where a stopped run's workers abandon their files.
    if _worker_stop is not None and _worker_stop.is_set():
        raise StopRequested(signal.SIGINT)
    if _worker_progress is not None:
        _worker_progress.put(seconds)


def _denoise_in_worker(task: FileTask) -> FileResult:
    _worker_progress_callback(0.0)
    return denoise_file(task, _worker_progress_callback)


class _InOrder:
    """Passes results on in the order of their tasks, holding back early finishers."""

    def __init__(self, on_result: Callable[[FileResult], None]) -> None:
        self._on_result = on_result
        self._held: dict[int, FileResult] = {}
        self._next = 0

    def add(self, index: int, result: FileResult) -> None:
        self._held[index] = result
        while self._next in self._held:
            self._on_result(self._held.pop(self._next))
            self._next += 1

    def flush(self) -> None:
        """Passes on all held results, gaps notwithstanding."""
        for index in sorted(self._held):
            self._on_result(self._held.pop(index))


def run_all(
    tasks: Sequence[FileTask],
    jobs: int,
    progress: ProgressCallback | None,
    on_result: Callable[[FileResult], None],
) -> None:
    """Denoises every task, `jobs` files at a time, calling `on_result` in task order.

    On KeyboardInterrupt or StopRequested the files being written are abandoned
    (no output appears), the results of files that were finished are still passed
    on, and the exception is raised again.
    """
    if jobs == 1 or len(tasks) <= 1:
        for task in tasks:
            on_result(denoise_file(task, progress))
        return
    # Spawned rather than forked: a fork would copy the parent's threads and loaded engine.
    context = multiprocessing.get_context("spawn")
    stop = context.Event()
    queue: Queue[Any] | None = context.Queue() if progress is not None else None
    listener = threading.Thread(target=_relay, args=(queue, progress), daemon=True)
    if queue is not None:
        listener.start()
    in_order = _InOrder(on_result)
    try:
        with ProcessPoolExecutor(
            max_workers=min(jobs, len(tasks)),
            mp_context=context,
            initializer=_start_worker,
            initargs=(queue, stop),
        ) as pool:
            futures = {pool.submit(_denoise_in_worker, task): i for i, task in enumerate(tasks)}
            try:
                for future in as_completed(futures):
                    index = futures[future]
                    in_order.add(index, _result_of(future, tasks[index]))
            except BaseException:
                stop.set()
                pool.shutdown(wait=True, cancel_futures=True)
                for future, index in futures.items():  # finished meanwhile: on disk
                    if future.done() and not future.cancelled() and future.exception() is None:
                        in_order.add(index, future.result())
                in_order.flush()
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
