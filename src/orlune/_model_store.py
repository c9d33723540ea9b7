"""Locate and verify model bundles named by a manifest.

Two kinds of URL are understood, and nothing ever touches the network:

* ``package:<relative path>`` names a bundle shipped inside this package,
  relative to its ``resources`` folder. The packaged index
  (``resources/models/index.json``) must list the manifest's id and version
  with that very file, and the file's SHA-256 must match the index.
* ``file:///absolute/path`` (or ``file://localhost/...``, percent-encoded)
  names a bundle elsewhere; an optional ``#sha256=<64 hex digits>`` fragment
  is verified when present.

The resources folder is located from this file each time :meth:`ModelStore.resolve`
runs, so a copy of the installed package folder works wherever it is put.

Models are chosen by id: :func:`packaged_model` finds an id in the index (at the
version the index lists) and :func:`default_manifest_fields` names the default
model, so that switching the default is a change of the index alone.
"""

from __future__ import annotations

import hashlib
import json
import logging
import os
import stat
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any
from urllib.parse import unquote, urlsplit

__all__ = [
    "DEFAULT_MODEL_ID",
    "MAX_SUPPRESSION_DB",
    "ModelArtifact",
    "ModelManifest",
    "ModelStore",
    "ModelStoreError",
    "PackagedModel",
    "PinnedModelStore",
    "UnknownModelError",
    "default_manifest_fields",
    "packaged_model",
    "packaged_models",
]

_logger = logging.getLogger("orlune.model_store")

DEFAULT_MODEL_ID = "orlune-nc-default"

# How deep each packaged model (id, version) can suppress noise, in dB: its gain floor, which
# no attenuation limit takes it past. The statistical engine (version "1") never lowers a
# frequency by more than 20 dB, so every limit from 20 up gives the same output; the learned
# engine (version "2") has a 60 dB floor and on steady noise goes 40-45 dB deep by itself, so
# limits up to about 40 dB are met and higher ones bound it only where it would go deeper.
# A model added to the index states its figure here.
MAX_SUPPRESSION_DB: dict[tuple[str, str], float] = {
    ("orlune-nc-default", "1"): 20.0,
    ("orlune-nc-classic", "1"): 20.0,
    ("orlune-nc-default", "2"): 60.0,
    ("orlune-nc-learned", "2"): 60.0,
}

_INDEX_RELATIVE_PATH = Path("models") / "index.json"
# The index is a few hundred bytes; a larger one is not ours and is not read.
_INDEX_MAX_BYTES = 1 << 20
_SHA256_HEX_DIGITS = 64
_HEX_DIGITS = frozenset("0123456789abcdef")


class ModelStoreError(RuntimeError):
    """A bundle could not be located or verified; names the model id and version."""

    def __init__(self, model_id: str, model_version: str, reason: str) -> None:
        # A lookup by id alone has no version to name, and a listing no model either.
        subject = f"Model {model_id!r}" + (f" version {model_version!r}" if model_version else "")
        super().__init__(f"{subject}: {reason}" if model_id else reason)
        self.model_id = model_id
        self.model_version = model_version
        self.reason = reason

    def __reduce__(self) -> tuple[type[ModelStoreError], tuple[str, str, str]]:
        # The message is built from the parts: rebuild from them when unpickled.
        return (type(self), (self.model_id, self.model_version, self.reason))


class UnknownModelError(ValueError):
    """A model id that the packaged index does not list; names the ids it does."""

    def __init__(self, model_id: object, available: Sequence[str]) -> None:
        listed = ", ".join(available) if available else "none"
        super().__init__(f"unknown model {model_id!r}; the packaged models are: {listed}")
        self.model_id = model_id
        self.available = tuple(available)

    def __reduce__(self) -> tuple[type[UnknownModelError], tuple[object, tuple[str, ...]]]:
        return (type(self), (self.model_id, self.available))


@dataclass(frozen=True, slots=True, kw_only=True)
class ModelManifest:
    """Which model a caller wants and where its bundle lives."""

    model_id: str
    model_version: str
    model_url: str

    def __post_init__(self) -> None:
        for name in ("model_id", "model_version", "model_url"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"ModelManifest.{name} must be a str")


@dataclass(frozen=True, slots=True, kw_only=True)
class ModelArtifact:
    """A verified bundle on disk: an existing regular file and its SHA-256."""

    path: Path
    model_id: str
    model_version: str
    sha256: str
    size_bytes: int


def _resources_dir() -> Path:
    return (Path(__file__).resolve().parent / "resources").resolve()


def _is_sha256_hex(text: str) -> bool:
    return len(text) == _SHA256_HEX_DIGITS and set(text) <= _HEX_DIGITS


class ModelStore:
    """Resolves :class:`ModelManifest` objects to verified :class:`ModelArtifact` files."""

    def resolve(self, manifest: ModelManifest) -> ModelArtifact:
        """Return the verified bundle for ``manifest`` or raise :class:`ModelStoreError`."""
        request = _Request(manifest)
        scheme, _, _ = manifest.model_url.partition(":")
        scheme = scheme.lower()
        if scheme == "package":
            artifact = request.resolve_packaged()
        elif scheme == "file":
            artifact = request.resolve_file_url()
        else:
            raise request.error(
                f"unsupported URL scheme in {manifest.model_url!r} "
                "(only package: and file:// are accepted)"
            )
        _logger.debug(
            "resolved model %r version %r to %s (sha256 %s)",
            artifact.model_id,
            artifact.model_version,
            artifact.path,
            artifact.sha256,
        )
        return artifact


@dataclass(frozen=True, slots=True, kw_only=True)
class PackagedModel:
    """A model of the packaged index."""

    model_id: str
    model_version: str
    file: str
    # The deepest noise suppression the model reaches, in dB (None when not stated):
    # an attenuation limit above it gives the same output as it.
    max_suppression_db: float | None

    def manifest(self) -> ModelManifest:
        return ModelManifest(
            model_id=self.model_id,
            model_version=self.model_version,
            model_url=f"package:models/{self.file}",
        )


def packaged_models() -> list[PackagedModel]:
    """The models of the packaged index, in its order; raises :class:`ModelStoreError`
    when the index cannot be read."""
    request = _Request(ModelManifest(model_id="", model_version="", model_url=""))
    return [
        PackagedModel(
            model_id=entry["id"],
            model_version=entry["version"],
            file=entry["file"],
            max_suppression_db=MAX_SUPPRESSION_DB.get((entry["id"], entry["version"])),
        )
        for entry in request.index_entries(_resources_dir())
    ]


def packaged_model(model_id: str) -> PackagedModel:
    """The packaged model `model_id`, at the version the index lists.

    Raises :class:`UnknownModelError` (naming the ids there are) for an id the
    index does not list, and :class:`ModelStoreError` for one it lists twice.
    """
    models = packaged_models()
    matches = [model for model in models if model.model_id == model_id]
    if not matches:
        raise UnknownModelError(model_id, sorted({model.model_id for model in models}))
    if len(matches) > 1:
        versions = sorted(model.model_version for model in matches)
        raise ModelStoreError(
            model_id, "", f"the packaged index lists it more than once (versions {versions})"
        )
    return matches[0]


def default_manifest_fields() -> dict[str, str]:
    """The keyword arguments of :class:`ModelManifest`, in order, that name the packaged
    default model at the version the index lists: what `OrluneProcessor` asks for."""
    manifest = packaged_model(DEFAULT_MODEL_ID).manifest()
    return {
        "model_id": manifest.model_id,
        "model_version": manifest.model_version,
        "model_url": manifest.model_url,
    }


class PinnedModelStore:
    """Answers every manifest with one bundle, verified once.

    A processor always asks its store for the default model; injecting this
    store is how `denoise`, `StreamDenoiser` and the command line give each
    channel's processor the model their caller chose instead.
    """

    def __init__(self, model_id: str) -> None:
        if not isinstance(model_id, str):
            raise TypeError(f"model must be a model id (a str), not {type(model_id).__name__}")
        self.model = packaged_model(model_id)
        self.artifact = ModelStore().resolve(self.model.manifest())

    def resolve(self, manifest: ModelManifest) -> ModelArtifact:
        return self.artifact


class _Request:
    """One resolution: carries the manifest so every failure can name it."""

    def __init__(self, manifest: ModelManifest) -> None:
        self.manifest = manifest

    def error(self, reason: str) -> ModelStoreError:
        return ModelStoreError(self.manifest.model_id, self.manifest.model_version, reason)

    # -- package: URLs ---------------------------------------------------------

    def resolve_packaged(self) -> ModelArtifact:
        url = self.manifest.model_url
        parts = urlsplit(url)
        if parts.netloc or parts.query or parts.fragment or "#" in url or "?" in url:
            raise self.error(
                f"a package: URL is a bare relative path, got {url!r} "
                "(the packaged index supplies the checksum)"
            )
        resources = _resources_dir()
        bundle = self._inside(resources, parts.path, what="package: URL")
        entry = self._index_entry(resources)
        listed = self._inside(resources / "models", entry["file"], what="index entry")
        if listed != bundle:
            raise self.error(
                f"the index lists {listed.name!r} for this model, not {url!r}"
            )
        return self._verified(bundle, expected_sha256=entry["sha256"])

    def _inside(self, root: Path, relative: str, *, what: str) -> Path:
        """``root / relative`` resolved, refused when empty, absolute or escaping ``root``."""
        if not relative or relative.startswith("/") or "\0" in relative:
            raise self.error(f"{what} path {relative!r} must be a non-empty relative path")
        candidate = (root / relative).resolve()
        if candidate == root or not candidate.is_relative_to(root):
            raise self.error(f"{what} path {relative!r} escapes the package resources {root}")
        return candidate

    def _index_entry(self, resources: Path) -> dict[str, Any]:
        wanted = (self.manifest.model_id, self.manifest.model_version)
        listed = [entry for entry in self.index_entries(resources) if entry["id"] == wanted[0]]
        matches = [entry for entry in listed if entry["version"] == wanted[1]]
        if len(matches) > 1:
            index_path = resources / _INDEX_RELATIVE_PATH
            raise self.error(f"malformed model index {index_path}: listed more than once")
        if matches:
            return matches[0]
        if listed:
            versions = sorted(entry["version"] for entry in listed)
            raise self.error(f"unknown version; the packaged index has versions {versions}")
        raise self.error("unknown model; the packaged index does not list it")

    def index_entries(self, resources: Path) -> list[dict[str, Any]]:
        """The packaged index's entries, each checked for its fields."""
        index_path = resources / _INDEX_RELATIVE_PATH
        raw = self._read_small_file(index_path, limit=_INDEX_MAX_BYTES)
        try:
            document: Any = json.loads(raw)
        except (UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise self.error(f"malformed model index {index_path}: {exc}") from exc
        models = document.get("models") if isinstance(document, dict) else None
        if not isinstance(models, list):
            raise self.error(f"malformed model index {index_path}: no 'models' list")
        for position, entry in enumerate(models):
            keys = ("id", "version", "file", "sha256")
            if not isinstance(entry, dict) or not all(
                isinstance(entry.get(key), str) for key in keys
            ):
                raise self.error(
                    f"malformed model index {index_path}: entry {position} needs "
                    "string fields 'id', 'version', 'file' and 'sha256'"
                )
            if not _is_sha256_hex(entry["sha256"].lower()):
                raise self.error(
                    f"malformed model index {index_path}: entry {position} has a "
                    f"sha256 that is not {_SHA256_HEX_DIGITS} hex digits"
                )
        return models

    # -- file:// URLs ----------------------------------------------------------

    def resolve_file_url(self) -> ModelArtifact:
        url = self.manifest.model_url
        parts = urlsplit(url)
        if parts.netloc not in ("", "localhost"):
            raise self.error(f"file URL {url!r} names a remote host; only local files are read")
        if parts.query:
            raise self.error(f"file URL {url!r} carries a query, which is not supported")
        try:
            path_text = unquote(parts.path, errors="strict")
        except UnicodeDecodeError as exc:
            raise self.error(f"file URL {url!r} is not valid percent-encoded UTF-8") from exc
        if not path_text.startswith("/") or path_text == "/" or "\0" in path_text:
            raise self.error(f"file URL {url!r} must name an absolute file path")
        expected = self._fragment_sha256(parts.fragment) if parts.fragment else None
        return self._verified(Path(path_text), expected_sha256=expected)

    def _fragment_sha256(self, fragment: str) -> str:
        key, separator, value = fragment.partition("=")
        value = value.lower()
        if key != "sha256" or not separator or not _is_sha256_hex(value):
            raise self.error(
                f"bad URL fragment {fragment!r}; expected sha256=<{_SHA256_HEX_DIGITS} hex digits>"
            )
        return value

    # -- files -----------------------------------------------------------------

    def _open_regular(self, path: Path) -> tuple[int, os.stat_result]:
        """An fd for ``path`` once it is known to be a regular file.

        FIFOs and devices are refused from ``stat`` before any open, and the
        descriptor is checked again in case the path was swapped in between;
        O_NONBLOCK keeps even that swapped-in FIFO from blocking the open.
        """
        try:
            if not stat.S_ISREG(os.stat(path).st_mode):
                raise self.error(f"{path} is not a regular file")
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        except FileNotFoundError as exc:
            raise self.error(f"missing file {path}") from exc
        except OSError as exc:
            raise self.error(f"cannot open {path}: {exc.strerror}") from exc
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            os.close(fd)
            raise self.error(f"{path} is not a regular file")
        return fd, status

    def _read_small_file(self, path: Path, *, limit: int) -> bytes:
        fd, status = self._open_regular(path)
        with open(fd, "rb", closefd=True) as stream:
            if status.st_size > limit:
                raise self.error(f"{path} is larger than {limit} bytes")
            return stream.read(limit + 1)

    def _verified(self, path: Path, *, expected_sha256: str | None) -> ModelArtifact:
        fd, status = self._open_regular(path)
        with open(fd, "rb", closefd=True) as stream:
            try:
                # file_digest reads in fixed-size chunks: bundles never sit whole in memory.
                actual = hashlib.file_digest(stream, "sha256").hexdigest()
            except OSError as exc:
                raise self.error(f"cannot read {path}: {exc.strerror}") from exc
        if expected_sha256 is not None and actual != expected_sha256.lower():
            raise self.error(
                f"checksum mismatch for {path} (expected {expected_sha256.lower()}, got {actual})"
            )
        return ModelArtifact(
            path=path.resolve(),
            model_id=self.manifest.model_id,
            model_version=self.manifest.model_version,
            sha256=actual,
            size_bytes=status.st_size,
        )
