"""Audio files for the command line: checking inputs and outputs, and atomic writes."""

from __future__ import annotations

import ctypes
import errno
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
    if not path.is_file():
        # A FIFO or device: opening one blocks until a writer comes, and it cannot
        # be read twice (once to probe, once to denoise).
        raise AudioFileError(f"{path}: not a regular file")
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


def writes_as_sound_file(target_name: str) -> bool:
    """Whether an output of this name is written through soundfile (WAV, FLAC, OGG)."""
    return Path(target_name).suffix.lower() in _FORMAT_OF_SUFFIX


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


_AT_FDCWD = -100
_AT_EMPTY_PATH = 0x1000
# Whether unnamed files can be given a name, by the device of their directory.
_LINKABLE: dict[int, bool] = {}


def _link_descriptor(descriptor: int, path: Path) -> None:
    """Gives the unnamed file open at `descriptor` the name `path` (FileExistsError if taken)."""
    try:
        os.link(f"/proc/self/fd/{descriptor}", path)  # linkat(AT_SYMLINK_FOLLOW)
        return
    except FileExistsError:
        raise
    except OSError:
        pass  # /proc may be missing or refuse; linkat on the descriptor itself may not
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.linkat(descriptor, b"", _AT_FDCWD, os.fsencode(path), _AT_EMPTY_PATH) != 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code), str(path))


def _open_unnamed(directory: Path) -> int | None:
    """A file in `directory` with no name yet (Linux `O_TMPFILE`), or None where the
    platform, the file system or the process's rights give no way to name it later."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag:
        return None
    try:
        device = directory.stat().st_dev
        if device not in _LINKABLE:
            _LINKABLE[device] = _can_name_unnamed(directory, flag)
        if not _LINKABLE[device]:
            return None
        return os.open(directory, flag | os.O_RDWR, 0o666)
    except OSError as error:
        if error.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            return None
        raise


def _can_name_unnamed(directory: Path, flag: int) -> bool:
    probe = os.open(directory, flag | os.O_RDWR, 0o600)
    name = directory / f".orlune-probe-{secrets.token_hex(4)}"
    try:
        _link_descriptor(probe, name)
    except OSError:
        return False
    finally:
        os.close(probe)
    name.unlink()
    return True


def _name_unnamed(descriptor: int, target: Path) -> None:
    """Links the finished unnamed file in at `target`, replacing what is there."""
    try:
        _link_descriptor(descriptor, target)
        return
    except FileExistsError:
        pass
    # An existing target is replaced by a rename, which needs a name first; the
    # complete file is visible under it only for that instant.
    temporary = _temporary_name(target)
    _link_descriptor(descriptor, temporary)
    try:
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _temporary_name(target: Path) -> Path:
    return target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")


@contextmanager
def atomic_output(target: Path) -> Iterator[int]:
    """Yields a file descriptor open for writing that becomes `target` when the block
    succeeds, so a failure or an interruption never leaves a partial file.

    Where the file system allows, the file has no name until it is complete, so not
    even a killed process leaves one behind. Elsewhere it is written under a hidden
    temporary name beside `target` and removed when the block fails (the command
    line turns SIGTERM and SIGHUP into such a failure).
    """
    try:
        # Opened here rather than by the writer so that an unwritable directory
        # fails before any work, with the permissions a new file normally gets.
        descriptor = _open_unnamed(target.parent)
        temporary = None
        if descriptor is None:
            temporary = _temporary_name(target)
            descriptor = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as error:
        raise AudioFileError(
            f"{target}: cannot write in {target.parent}: {error.strerror or error}"
        ) from None
    try:
        yield descriptor
        if temporary is None:
            _name_unnamed(descriptor, target)
        else:
            os.replace(temporary, target)
    except BaseException:
        if temporary is not None:
            temporary.unlink(missing_ok=True)
        raise
    finally:
        os.close(descriptor)
