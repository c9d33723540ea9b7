"""Which output each input gets, and the checks made before any audio is processed.

The plan is checked whole before anything is written: no output (or report) may be
any input of the run, whatever `--force` says, nor the output of another input.
Local files are compared by identity (device and inode), so symbolic and hard links
to an input count as that input; URLs are compared as written. Inputs on a store
are read only by the job that denoises them, so their problems show up there.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path, PurePosixPath

from .. import _storage
from .._audio_io import AudioFileError, AudioInfo, output_format, probe, writes_as_sound_file
from .._checks import check_channels, check_sample_rate
from .._file_job import FileJob
from .._media import MediaError, NoAudioStream, PyAVMissing, muxer_for, probe_media
from .args import Options

_FileId = tuple[int, int]


@dataclass(frozen=True)
class FileTask:
    job: FileJob
    seconds: float  # of audio, as far as known before it is read (0 when not)
    report: Path | None

    @property
    def source(self) -> str:
        return self.job.source

    @property
    def target(self) -> str:
        return self.job.target


def _target_for(source: str, relative: str, options: Options) -> str:
    """The output: -o, else `relative` (the input's path below where it was named)
    in --out-dir, else NAME.clean.EXT beside the input."""
    if options.output is not None:
        return options.output
    if options.out_dir is not None:
        return _storage.join(options.out_dir, relative)
    name = PurePosixPath(relative).name
    stem, dot, suffix = name.rpartition(".")
    return _storage.beside(source, f"{stem}.clean.{suffix}" if dot and stem else f"{name}.clean")


def _file_id(path: Path) -> _FileId | None:
    try:
        status = path.stat()
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino)


def missing_directories(path: Path) -> list[Path]:
    """The directories above `path` still to be made, outermost first; AudioFileError
    when the nearest one that exists is not a directory."""
    missing: list[Path] = []
    parent = path.parent
    while not parent.exists() and not parent.is_symlink():
        missing.append(parent)
        parent = parent.parent
    if not parent.is_dir():
        raise AudioFileError(f"{path}: {parent} is not a directory")
    return missing[::-1]


class _Claims:
    """The paths a run reads and writes, to refuse any that two roles share."""

    def __init__(self, inputs: list[Path]) -> None:
        self._inputs: dict[_FileId, Path] = {}
        for source in inputs:
            identity = _file_id(source)
            if identity is not None:
                self._inputs.setdefault(identity, source)
        self._writes: dict[object, str] = {}

    def check_write(self, path: Path, source: str, what: str, force: bool) -> None:
        identity = _file_id(path)
        overwritten = self._inputs.get(identity) if identity is not None else None
        if overwritten is not None:
            raise AudioFileError(
                f"{source}: the {what} {path} would overwrite the input {overwritten}"
            )
        if path.is_dir():
            raise AudioFileError(f"{source}: the {what} {path} is a directory")
        missing_directories(path)
        if identity is not None and not force:
            raise AudioFileError(f"{path}: exists; use --force to overwrite it")
        for key in (path.resolve(), identity):
            earlier = self._writes.get(key) if key is not None else None
            if earlier is not None:
                raise AudioFileError(f"{source}: its {what} {path} is also written for {earlier}")

    def claim(self, path: Path, source: str) -> None:
        identity = _file_id(path)
        for key in (path.resolve(), identity):
            if key is not None:
                self._writes[key] = source


def _check_audio(source: Path, info: AudioInfo) -> None:
    try:
        check_sample_rate(info.sample_rate)
        check_channels(info.channels)
    except ValueError as error:
        raise AudioFileError(f"{source}: {error}") from None


def _probe_local(source: Path, target: str) -> float:
    """Checks a local input and the output type its target asks for; returns its seconds."""
    try:
        info = probe(source)
        if not writes_as_sound_file(PurePosixPath(target).name):
            # An Opus file soundfile reads, for one, is written back through PyAV.
            raise AudioFileError(f"{source}: not written with soundfile")
    except AudioFileError as unreadable:
        if not source.is_file():
            raise
        try:  # not WAV, FLAC or OGG: perhaps a container PyAV reads
            seconds = probe_media(source)
        except PyAVMissing as error:
            raise AudioFileError(f"{unreadable}; {error}") from None
        except NoAudioStream:
            raise
        except MediaError:
            raise unreadable from None
        muxer_for(source, target, "")
        return seconds
    _check_audio(source, info)
    output_format(info, Path(PurePosixPath(target).name))
    return info.duration


def _expanded(inputs: list[str], errors: list[tuple[str, str]]) -> list[tuple[str, str]]:
    sources: list[tuple[str, str]] = []
    for location in inputs:
        try:
            found = _storage.expand(location)
        except _storage.StorageError as error:
            errors.append((location, str(error)))
            continue
        if not found:
            errors.append((location, f"{location}: matches no file"))
        sources.extend(found)
    return sources


def plan(options: Options) -> tuple[list[FileTask], list[tuple[str, str]]]:
    """Returns the files to process, and each input refused with the reason."""
    tasks: list[FileTask] = []
    errors: list[tuple[str, str]] = []
    sources = _expanded(options.inputs, errors)
    if options.output is not None and len(sources) > 1:
        found = f"-o/--output takes one input, and {len(sources)} were found"
        return [], errors + [(source, found) for source, _ in sources]
    claims = _Claims([Path(source) for source, _ in sources if not _storage.is_url(source)])
    remote_writes: dict[str, str] = {}
    overwrite = options.force or options.skip_existing
    for source, relative in sources:
        target = _target_for(source, relative, options)
        try:
            seconds = 0.0
            if not _storage.is_url(source):
                seconds = _probe_local(Path(source), target)
            if not _storage.is_url(target):
                claims.check_write(Path(target), source, "output", overwrite)
            else:
                if target == source or target in remote_writes:
                    other = source if target == source else remote_writes[target]
                    raise AudioFileError(f"{source}: its output {target} is also {other}")
                if not overwrite and _storage.exists(target):
                    raise AudioFileError(f"{target}: exists; use --force to overwrite it")
            if options.report is not None:
                claims.check_write(options.report, source, "report", options.force)
                if options.report.resolve() == Path(target).resolve():
                    raise AudioFileError(f"{source}: the report and the output are one file")
        except (AudioFileError, MediaError, _storage.StorageError) as error:
            errors.append((source, str(error)))
            continue
        if _storage.is_url(target):
            remote_writes[target] = source
        else:
            claims.claim(Path(target), source)
        if options.report is not None:
            claims.claim(options.report, source)
        job = FileJob(
            source,
            target,
            options.attenuation_limit_db,
            options.model,
            skip_existing=options.skip_existing and not options.force,
            keep_trace=options.report is not None,
        )
        tasks.append(FileTask(job, seconds, options.report))
    return tasks, errors
