"""Which output each input gets, and the checks made before any audio is processed.

The plan is checked whole before anything is written: no output (or report) may be
any input of the run, whatever `--force` says, nor the output of another input.
Files are compared by identity (device and inode), so symbolic and hard links to
an input count as that input.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from .._audio_io import AudioFileError, AudioInfo, output_format, probe
from .._checks import check_channels, check_sample_rate
from .args import Options

_FileId = tuple[int, int]


@dataclass(frozen=True)
class FileTask:
    source: Path
    target: Path
    info: AudioInfo
    target_format: str
    attenuation_limit_db: float
    report: Path | None
    model: str


def _target_for(source: Path, options: Options) -> Path:
    if options.output is not None:
        return options.output
    if options.out_dir is not None:
        return options.out_dir / source.name
    return source.with_name(f"{source.stem}.clean{source.suffix}")


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
        self._writes: dict[object, Path] = {}

    def check_write(self, path: Path, source: Path, what: str, force: bool) -> None:
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

    def claim(self, path: Path, source: Path) -> None:
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


def plan(options: Options) -> tuple[list[FileTask], list[str]]:
    """Returns the files to process and an error message for each input refused."""
    tasks: list[FileTask] = []
    errors: list[str] = []
    claims = _Claims(options.inputs)
    for source in options.inputs:
        target = _target_for(source, options)
        try:
            info = probe(source)
            _check_audio(source, info)
            claims.check_write(target, source, "output", options.force)
            target_format = output_format(info, target)
            if options.report is not None:
                claims.check_write(options.report, source, "report", options.force)
                if options.report.resolve() == target.resolve():
                    raise AudioFileError(f"{source}: the report and the output are one file")
        except AudioFileError as error:
            errors.append(str(error))
            continue
        claims.claim(target, source)
        if options.report is not None:
            claims.claim(options.report, source)
        tasks.append(
            FileTask(
                source,
                target,
                info,
                target_format,
                options.attenuation_limit_db,
                options.report,
                options.model,
            )
        )
    return tasks, errors
