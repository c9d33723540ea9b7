"""Where inputs come from and outputs go: local paths or fsspec URLs.

Local paths keep the behaviour of plain files (outputs written unnamed or under a
hidden name, then linked or renamed into place). A URL (``s3://``, ``gs://``,
``memory://``, ``file://``, ``https://`` for inputs and so on) goes through
fsspec, imported only when one is seen; credentials come from fsspec's and the
store's own configuration. An input on a store is copied to a local temporary
file first, and an output is written locally, uploaded to a hidden temporary
object beside its target and then moved onto the target, so that no reader ever
sees a partial target: on a file system (``file://``, ``memory://``) the move is
a rename; on an object store the upload itself is all-or-nothing and the move is
a server-side copy of the complete object.
"""

from __future__ import annotations

import glob
import os
import posixpath
import secrets
import tempfile
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

_GLOB_CHARACTERS = frozenset("*?[")


class StorageError(Exception):
    """An input or output location that cannot be used; the message says which."""


def is_url(location: str) -> bool:
    scheme, separator, _ = location.partition("://")
    return bool(separator) and scheme.isidentifier() and len(scheme) > 1


def _filesystem(url: str) -> tuple[Any, str]:
    try:
        import fsspec  # type: ignore[import-untyped]
    except ImportError:
        raise StorageError(
            f"{url}: URLs need fsspec: pip install 'orlune[cluster]'"
        ) from None
    try:
        return fsspec.core.url_to_fs(url)  # type: ignore[no-any-return]
    except (ImportError, ValueError) as error:
        raise StorageError(f"{url}: {error}") from None


def _has_glob(location: str) -> bool:
    return any(character in location for character in _GLOB_CHARACTERS)


def _visible(path: str) -> bool:
    # Hidden files include the temporary outputs of an interrupted run.
    return not any(part.startswith(".") for part in Path(path).parts if part not in (".", ".."))


def _glob_base(path: str) -> str:
    """The directory part of a glob before its first wildcard."""
    head = path[: min(path.index(c) for c in _GLOB_CHARACTERS if c in path)]
    return head.rsplit("/", 1)[0] if "/" in head else ""


def expand(location: str) -> list[tuple[str, str]]:
    """The files a command-line input names, sorted, each with its path relative to
    where the input starts (kept below an output directory): the file itself (its
    name), or the files below a directory (recursively) or matching a glob (``**``
    crosses directories)."""
    if not is_url(location):
        if _has_glob(location):
            found = sorted(glob.glob(location, recursive=True))
            base = _glob_base(location) or "."
            return [(path, os.path.relpath(path, base)) for path in found if os.path.isfile(path)]
        if os.path.isdir(location):
            below = sorted(str(path) for path in Path(location).rglob("*") if path.is_file())
            relative = [(path, os.path.relpath(path, location)) for path in below]
            found_below = [(path, name) for path, name in relative if _visible(name)]
            if not found_below:
                raise StorageError(f"{location}: is a directory with no files in it")
            return found_below
        return [(location, Path(location).name)]
    fs, path = _filesystem(location)
    try:
        if _has_glob(path):
            base = _glob_base(path)
            matches = [
                match
                for match in fs.glob(path)
                if _visible(posixpath.relpath(match, base or "/")) and fs.isfile(match)
            ]
        elif fs.isdir(path):
            base = path.rstrip("/")
            matches = [
                match for match in fs.find(path) if _visible(posixpath.relpath(match, base or "/"))
            ]
        else:
            return [(location, posixpath.basename(path.rstrip("/")))]
    except OSError as error:
        raise StorageError(f"{location}: cannot list: {error}") from None
    return sorted(
        (fs.unstrip_protocol(match), posixpath.relpath(match, base or "/")) for match in matches
    )


def join(directory: str, relative: str) -> str:
    if is_url(directory):
        return directory.rstrip("/") + "/" + relative.replace(os.sep, "/")
    return str(Path(directory) / relative)


def beside(location: str, name: str) -> str:
    """`name` in the directory of `location`."""
    if is_url(location):
        return location.rsplit("/", 1)[0] + "/" + name
    return str(Path(location).with_name(name))


def exists(location: str) -> bool:
    if not is_url(location):
        return os.path.lexists(location)
    fs, path = _filesystem(location)
    try:
        return bool(fs.exists(path))
    except OSError as error:
        raise StorageError(f"{location}: cannot check: {error}") from None


@contextmanager
def local_copy(location: str) -> Iterator[Path]:
    """A local path holding the input: the file itself, or a temporary copy of the object."""
    if not is_url(location):
        yield Path(location)
        return
    fs, path = _filesystem(location)
    suffix = posixpath.splitext(path)[1]
    with tempfile.TemporaryDirectory(prefix="orlune-in-") as folder:
        local = Path(folder) / f"input{suffix}"
        try:
            fs.get_file(path, str(local))
        except FileNotFoundError:
            raise StorageError(f"{location}: no such file") from None
        except OSError as error:
            raise StorageError(f"{location}: cannot read: {error}") from None
        yield local


def _temporary_object(path: str) -> str:
    head, name = posixpath.split(path)
    return posixpath.join(head, f".{name}.{secrets.token_hex(4)}.part")


@contextmanager
def remote_output(location: str) -> Iterator[int]:
    """Yields a descriptor of a local temporary file that becomes the object at
    `location` when the block succeeds (uploaded under a hidden name, then moved)."""
    fs, path = _filesystem(location)
    with tempfile.TemporaryDirectory(prefix="orlune-out-") as folder:
        local = Path(folder) / "output"
        descriptor = os.open(local, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            yield descriptor
        finally:
            os.close(descriptor)
        temporary = _temporary_object(path)
        try:
            parent = posixpath.dirname(path)
            if parent:
                fs.makedirs(parent, exist_ok=True)
            fs.put_file(str(local), temporary)
            fs.mv(temporary, path)
        except BaseException as error:
            try:
                fs.rm_file(temporary)
            except Exception:  # the upload may not have begun
                pass
            if isinstance(error, OSError):
                raise StorageError(f"{location}: cannot write: {error}") from None
            raise
