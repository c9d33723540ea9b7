"""Denoising one file: the unit of work of the command line, `--jobs` and a Dask cluster.

A job names its input and output as local paths or URLs and carries everything
the worker needs, so it can be pickled to another process or machine. The job
never raises for a problem with its file: it returns a record saying what
happened, which is also the line written to a manifest.
"""

from __future__ import annotations

import json
import math
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np
import soundfile as sf  # type: ignore[import-untyped]

from . import _storage
from ._audio_io import (
    READABLE_FORMATS,
    AudioFileError,
    AudioInfo,
    atomic_output,
    output_format,
    writes_as_sound_file,
)
from ._media import MediaError, denoise_media
from ._model_store import DEFAULT_MODEL_ID
from ._pipeline import DenoisePipeline
from ._version import __version__

# Audio is read, denoised and written this many seconds at a time, so memory
# stays flat however long the file.
_READ_SECONDS = 5

ProgressCallback = Callable[[float], None]  # called with seconds of audio just done

OK, SKIPPED, FAILED = "ok", "skipped", "failed"


@dataclass(frozen=True)
class FileJob:
    source: str
    target: str
    attenuation_limit_db: float = 100.0
    model: str = DEFAULT_MODEL_ID  # the id of a packaged model
    skip_existing: bool = False  # an existing target is complete: leave it and say so
    keep_trace: bool = False  # keep the per-frame speech probability (for a report)


@dataclass(frozen=True)
class FileRecord:
    """What became of one input. `manifest_line` gives the fields meant for a manifest."""

    input: str
    output: str
    status: str
    error: str | None = None
    audio_seconds: float = 0.0
    processing_seconds: float = 0.0
    mean_speech_probability: float = math.nan
    model_id: str | None = None
    model_version: str | None = None
    orlune_version: str = __version__
    # For the command line only.
    clipped: str | None = None  # what was done to float samples the engine cannot take
    trace: list[float] | None = field(default=None, repr=False)
    frame_seconds: float = 0.0
    delay_seconds: float = 0.0

    def manifest_line(self) -> str:
        speech = self.mean_speech_probability
        fields = {
            "input": self.input,
            "output": self.output,
            "status": self.status,
            "error": self.error,
            "audio_seconds": round(self.audio_seconds, 6),
            "processing_seconds": round(self.processing_seconds, 6),
            "mean_speech_probability": None if math.isnan(speech) else round(speech, 6),
            "model_id": self.model_id,
            "model_version": self.model_version,
            "orlune_version": self.orlune_version,
        }
        return json.dumps(fields, ensure_ascii=False)


def failed(source: str, target: str, error: str) -> FileRecord:
    return FileRecord(source, target, FAILED, error=error)


def _open_pipeline(job: FileJob, sample_rate: int, channels: int) -> DenoisePipeline:
    return DenoisePipeline(
        sample_rate,
        channels,
        job.attenuation_limit_db,
        model=job.model,
        keep_trace=job.keep_trace,
    )


@contextmanager
def _output(target: str) -> Iterator[int]:
    if _storage.is_url(target):
        with _storage.remote_output(target) as descriptor:
            yield descriptor
    else:
        path = Path(target)
        try:  # on a cluster, the worker's machine may not have the folder yet
            path.parent.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            message = f"cannot create the directory {path.parent}: {error.strerror or error}"
            raise AudioFileError(message) from None
        with atomic_output(path) as descriptor:
            yield descriptor


def _blocks_of(source: sf.SoundFile, frames: int, dtype: str) -> Iterator[Any]:
    # Read in turn rather than through `SoundFile.blocks`, which refuses files that
    # libsndfile cannot seek in (GSM 6.10 WAV, for one) although they read fine.
    while (block := source.read(frames, dtype=dtype, always_2d=True)).shape[0]:
        yield block


def _sound_file_info(path: Path, target: str) -> sf._SoundFileInfo | None:
    """soundfile's description of a WAV, FLAC or OGG file to be written as one; None
    for other media."""
    if not writes_as_sound_file(PurePosixPath(target).name):
        return None
    try:
        info = sf.info(str(path))
    except sf.LibsndfileError:
        return None
    return info if info.format in READABLE_FORMATS else None


def _denoise_sound_file(
    job: FileJob, local: Path, info: Any, progress: ProgressCallback | None
) -> tuple[DenoisePipeline, float]:
    audio = AudioInfo(info.frames, info.samplerate, info.channels, info.format, info.subtype)
    target_format = output_format(audio, Path(PurePosixPath(job.target).name))
    pipeline = _open_pipeline(job, audio.sample_rate, audio.channels)
    block = max(1, _READ_SECONDS * audio.sample_rate)
    frames_done = 0
    try:
        with (
            _output(job.target) as descriptor,
            sf.SoundFile(str(local)) as source,
            sf.SoundFile(
                descriptor,
                "w",
                samplerate=audio.sample_rate,
                channels=audio.channels,
                subtype=audio.subtype,
                format=target_format,
                closefd=False,
            ) as target,
        ):
            for frames in _blocks_of(source, block, audio.read_dtype):
                target.write(pipeline.push(frames))
                frames_done += frames.shape[0]
                if progress is not None:
                    progress(frames.shape[0] / audio.sample_rate)
            target.write(pipeline.finish(np.dtype(audio.read_dtype)))
    finally:
        pipeline.close()
    return pipeline, frames_done / audio.sample_rate


def _denoise(job: FileJob, progress: ProgressCallback | None, started: float) -> FileRecord:
    with _storage.local_copy(job.source) as local:
        try:
            return _denoise_local(job, local, progress, started)
        except (AudioFileError, MediaError) as error:
            if str(local) == job.source:
                raise
            # Name the input as the user did, not by its temporary copy.
            raise type(error)(str(error).replace(str(local), job.source)) from None


def _denoise_local(
    job: FileJob, local: Path, progress: ProgressCallback | None, started: float
) -> FileRecord:
    if not local.is_file():
        what = "no such file" if not local.exists() else "not a regular file"
        raise AudioFileError(f"{job.source}: {what}")
    info = _sound_file_info(local, job.target)
    if info is not None:
        pipeline, seconds = _denoise_sound_file(job, local, info, progress)
        mean, model = pipeline.mean_speech_probability, pipeline.model
        clipped = pipeline.clipped.message() if pipeline.clipped else None
        trace, frame_seconds = pipeline.trace, pipeline.frame_length / pipeline.engine_rate
        delay_seconds = pipeline.engine_latency / pipeline.engine_rate
    else:
        with _output(job.target) as descriptor:
            media = denoise_media(
                local, descriptor, job.target, job.attenuation_limit_db, job.model, progress
            )
        seconds, mean, model = media.audio_seconds, media.mean_speech_probability, media.model
        clipped, trace, frame_seconds, delay_seconds = None, None, 0.0, 0.0
    return FileRecord(
        job.source,
        job.target,
        OK,
        audio_seconds=seconds,
        processing_seconds=time.perf_counter() - started,
        mean_speech_probability=mean,
        model_id=model[0] if model else None,
        model_version=model[1] if model else None,
        clipped=clipped,
        trace=trace,
        frame_seconds=frame_seconds,
        delay_seconds=delay_seconds,
    )


def run_file_job(job: FileJob, progress: ProgressCallback | None = None) -> FileRecord:
    """Denoises one file; returns what happened and never raises for a bad file."""
    started = time.perf_counter()
    try:
        if job.skip_existing and _storage.exists(job.target):
            return FileRecord(job.source, job.target, SKIPPED)
        return _denoise(job, progress, started)
    except (AudioFileError, MediaError, _storage.StorageError) as error:
        return failed(job.source, job.target, str(error))
    except Exception as error:  # any failure of one file is reported, and the others go on
        return failed(job.source, job.target, f"{job.source}: {type(error).__name__}: {error}")
