"""Audio files for the command line: checking inputs and outputs, and atomic writes."""

from __future__ import annotations

import os
import secrets
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import soundfile as sf  # type: ignore[import-untyped]

# Containers read and written. WAVEX is how libsndfile names extensible WAV files.
READABLE_FORMATS = frozenset({"WAV", "WAVEX", "FLAC", "OGG"})
_FORMAT_OF_SUFFIX = {".wav": "WAV", ".flac": "FLAC", ".ogg": "OGG", ".oga": "OGG"}


class AudioFileError(Exception):
    """A problem with an input or output file that the user can fix."""


@dataclass(frozen=True)
class AudioInfo:
    frames: int
    sample_rate: int
    channels: int
    format: str
    subtype: str

    @property
    def duration(self) -> float:
        return self.frames / self.sample_rate

    @property
    def read_dtype(self) -> str:
        """The dtype that reads this file without loss and keeps the engine's input exact."""
        if self.subtype == "PCM_16":
            return "int16"
        return "float64" if self.subtype == "DOUBLE" else "float32"


def probe(path: Path) -> AudioInfo:
    """Checks that `path` is a readable WAV, FLAC or OGG file and describes it."""
    if not path.exists():
        raise AudioFileError(f"{path}: no such file")
    if path.is_dir():
        raise AudioFileError(f"{path}: is a directory, not an audio file")
    try:
        with path.open("rb"):
            pass
        info = sf.info(str(path))
    except OSError as error:
        raise AudioFileError(f"{path}: cannot read: {error.strerror or error}") from None
    except sf.LibsndfileError:
        raise AudioFileError(
            f"{path}: not a readable audio file (orlune reads WAV, FLAC and OGG)"
        ) from None
    if info.format not in READABLE_FORMATS:
        raise AudioFileError(
            f"{path}: unsupported format {info.format_info}; orlune reads WAV, FLAC and OGG"
        )
    return AudioInfo(info.frames, info.samplerate, info.channels, info.format, info.subtype)


def output_format(source: AudioInfo, target: Path) -> str:
    """The container for `target`: its extension's, holding the input's subtype unchanged."""
    named = _FORMAT_OF_SUFFIX.get(target.suffix.lower())
    if named is None:
        raise AudioFileError(f"{target}: unknown output type; use .wav, .flac or .ogg")
    container = source.format if named == "WAV" and source.format == "WAVEX" else named
    if not sf.check_format(container, source.subtype):
        raise AudioFileError(
            f"{target}: {named} cannot hold the input's {source.subtype} samples;"
            f" use the input's own file type"
        )
    return container


@contextmanager
def atomic_output(target: Path) -> Iterator[Path]:
    """Yields a new temporary path beside `target`, renamed to `target` when the block
    succeeds and removed when it fails, so a failure never leaves a partial file."""
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
    try:
        # Created here rather than by the writer so that an unwritable directory
        # fails before any work, with the permissions a new file normally gets.
        os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    except OSError as error:
        raise AudioFileError(
            f"{target}: cannot write in {target.parent}: {error.strerror or error}"
        ) from None
    try:
        yield temporary
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
