"""Which output each input gets, and the checks made before any audio is processed."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

from .._audio_io import AudioFileError, AudioInfo, output_format, probe
from .args import Options


@dataclass(frozen=True)
class FileTask:
    source: Path
    target: Path
    info: AudioInfo
    target_format: str
    attenuation_limit_db: float
    report: Path | None


def _target_for(source: Path, options: Options) -> Path:
    if options.output is not None:
        return options.output
    if options.out_dir is not None:
        return options.out_dir / source.name
    return source.with_name(f"{source.stem}.clean{source.suffix}")


def _same_file(a: Path, b: Path) -> bool:
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_writable_path(path: Path, source: Path, force: bool, what: str) -> None:
    if _same_file(path, source):
        raise AudioFileError(f"{source}: the {what} {path} would overwrite the input")
    if path.is_dir():
        raise AudioFileError(f"{source}: the {what} {path} is a directory")
    if path.exists() and not force:
        raise AudioFileError(f"{path}: exists; use --force to overwrite it")
    if not path.parent.is_dir():
        raise AudioFileError(f"{path}: the directory {path.parent} does not exist")


def plan(options: Options) -> tuple[list[FileTask], list[str]]:
    """Returns the files to process and an error message for each input refused."""
    tasks: list[FileTask] = []
    errors: list[str] = []
    claimed: dict[Path, Path] = {}
    for source in options.inputs:
        target = _target_for(source, options)
        try:
            info = probe(source)
            _check_writable_path(target, source, options.force, "output")
            earlier = claimed.get(target.resolve())
            if earlier is not None:
                raise AudioFileError(f"{source}: its output {target} is also that of {earlier}")
            target_format = output_format(info, target)
            if options.report is not None:
                _check_writable_path(options.report, source, options.force, "report")
                if _same_file(options.report, target):
                    raise AudioFileError(f"{source}: the report and the output are one file")
        except AudioFileError as error:
            errors.append(str(error))
            continue
        claimed[target.resolve()] = source
        tasks.append(
            FileTask(
                source, target, info, target_format, options.attenuation_limit_db, options.report
            )
        )
    return tasks, errors
