from __future__ import annotations

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Callable
from urllib.parse import quote

import pytest

import orlune

MODEL_ID, MODEL_VERSION = "orlune-nc-default", "1"
PACKAGED_URL = "package:models/orlune-nc-default.bin"


@pytest.fixture
def package_copy(tmp_path: Path) -> Path:
    """A private copy of the installed package folder, free to be damaged."""
    copy = tmp_path / "site" / "orlune"
    shutil.copytree(Path(orlune.__file__).parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
    return copy


@pytest.fixture
def store_module(package_copy: Path, monkeypatch: pytest.MonkeyPatch) -> ModuleType:
    """``_model_store`` imported from the copy, so it reads the copy's resources."""
    name = "relocated_orlune_model_store"
    spec = importlib.util.spec_from_file_location(name, package_copy / "_model_store.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, name, module)
    spec.loader.exec_module(module)
    return module


def _resolve(module: ModuleType, url: str, model_id: str = MODEL_ID, version: str = MODEL_VERSION) -> object:
    manifest = module.ModelManifest(model_id=model_id, model_version=version, model_url=url)
    return module.ModelStore().resolve(manifest)


def _packaged_sha256(models: Path) -> str:
    return str(json.loads((models / "index.json").read_text())["models"][0]["sha256"])


def _write_index(models: Path, document: object) -> None:
    (models / "index.json").write_text(document if isinstance(document, str) else json.dumps(document))


def _replace_bundle(make: Callable[[Path], object]) -> Callable[[Path], None]:
    def setup(models: Path) -> None:
        (models / "orlune-nc-default.bin").unlink()
        make(models / "orlune-nc-default.bin")

    return setup


def _append_byte(models: Path) -> None:
    with open(models / "orlune-nc-default.bin", "ab") as bundle:
        bundle.write(b"\0")


GOOD_ENTRY = {"id": MODEL_ID, "version": MODEL_VERSION, "file": "orlune-nc-default.bin"}
FAULTS = {
    "tampered bundle": (_append_byte, PACKAGED_URL, "checksum mismatch"),
    "missing bundle": (_replace_bundle(lambda path: None), PACKAGED_URL, "missing file"),
    "directory": (_replace_bundle(Path.mkdir), PACKAGED_URL, "not a regular file"),
    "fifo": (_replace_bundle(os.mkfifo), PACKAGED_URL, "not a regular file"),
    "traversal": (None, "package:../../etc/passwd", "escapes the package resources"),
    "traversal via models": (None, "package:models/../../_model_store.py", "escapes"),
    "absolute package path": (None, "package:/etc/passwd", "non-empty relative path"),
    "empty package path": (None, "package:", "non-empty relative path"),
    "package url with fragment": (None, PACKAGED_URL + "#sha256=" + "0" * 64, "bare relative path"),
    "url names another file": (None, "package:models/index.json", "the index lists"),
    "index file escapes": (lambda m: _write_index(m, {"models": [{**GOOD_ENTRY, "file": "../../x", "sha256": "0" * 64}]}), PACKAGED_URL, "escapes"),
    "https": (None, "https://example.invalid/m.bin", "unsupported URL scheme"),
    "s3": (None, "s3://bucket/m.bin", "unsupported URL scheme"),
    "bare path": (None, "/tmp/m.bin", "unsupported URL scheme"),
    "remote file host": (None, "file://server/m.bin", "remote host"),
    "relative file url": (None, "file:m.bin", "absolute file path"),
    "short fragment": (None, "file:///{bundle}#sha256=abc", "bad URL fragment"),
    "other digest": (None, "file:///{bundle}#md5=" + "0" * 32, "bad URL fragment"),
    "wrong fragment digest": (None, "file:///{bundle}#sha256=" + "0" * 64, "checksum mismatch"),
    "bad json": (lambda m: _write_index(m, "{not json"), PACKAGED_URL, "malformed model index"),
    "no models list": (lambda m: _write_index(m, {"bundles": []}), PACKAGED_URL, "malformed model index"),
    "entry without sha256": (lambda m: _write_index(m, {"models": [GOOD_ENTRY]}), PACKAGED_URL, "malformed model index"),
    "index is a fifo": (lambda m: ((m / "index.json").unlink(), os.mkfifo(m / "index.json")), PACKAGED_URL, "not a regular file"),
}


@pytest.mark.parametrize(("setup", "url", "reason"), FAULTS.values(), ids=FAULTS.keys())
def test_faults_raise_model_store_error_naming_the_model(
    store_module: ModuleType, package_copy: Path, setup: Callable[[Path], object] | None, url: str, reason: str
) -> None:
    models = package_copy / "resources" / "models"
    if setup is not None:
        setup(models)
    with pytest.raises(store_module.ModelStoreError, match=reason) as caught:
        _resolve(store_module, url.format(bundle=quote(str(models / "orlune-nc-default.bin")).lstrip("/")))
    assert isinstance(caught.value, RuntimeError)
    assert str(caught.value).startswith(f"Model {MODEL_ID!r} version {MODEL_VERSION!r}: ")


@pytest.mark.parametrize(("model_id", "version", "reason"), [("orlune-nc-other", "1", "unknown model"), (MODEL_ID, "2", "unknown version")])
def test_unknown_model_or_version(store_module: ModuleType, model_id: str, version: str, reason: str) -> None:
    with pytest.raises(store_module.ModelStoreError, match=f"^Model '{model_id}' version '{version}': {reason}"):
        _resolve(store_module, PACKAGED_URL, model_id, version)


def test_index_and_bundle_are_read_at_each_resolve(store_module: ModuleType, package_copy: Path) -> None:
    models = package_copy / "resources" / "models"
    artifact = _resolve(store_module, PACKAGED_URL)
    assert artifact.path == (models / "orlune-nc-default.bin").resolve() and artifact.path.is_file()
    assert artifact.sha256 == _packaged_sha256(models)
    _append_byte(models)
    with pytest.raises(store_module.ModelStoreError, match="checksum mismatch"):
        _resolve(store_module, PACKAGED_URL)


@pytest.mark.parametrize("prefix", ["file://", "file://localhost", "FILE://"])
@pytest.mark.parametrize("with_digest", [False, True])
def test_file_url_outside_the_package(store_module: ModuleType, tmp_path: Path, prefix: str, with_digest: bool) -> None:
    source = Path(orlune.__file__).parent / "resources" / "models"
    bundle = tmp_path / "my models" / "bündle v1.bin"
    bundle.parent.mkdir()
    shutil.copyfile(source / "orlune-nc-default.bin", bundle)
    digest = _packaged_sha256(source)
    url = prefix + quote(str(bundle)) + (f"#sha256={digest.upper()}" if with_digest else "")
    artifact = _resolve(store_module, url)
    assert (artifact.path, artifact.sha256, artifact.size_bytes) == (bundle, digest, bundle.stat().st_size)


def test_relocated_package_copy_resolves_its_own_bundle(package_copy: Path) -> None:
    code = (
        "import orlune; from orlune._model_store import ModelStore, ModelManifest\n"
        f"m = ModelManifest(model_id={MODEL_ID!r}, model_version={MODEL_VERSION!r}, model_url={PACKAGED_URL!r})\n"
        "print(orlune.__file__); print(ModelStore().resolve(m).path)"
    )
    env = {**os.environ, "PYTHONPATH": str(package_copy.parent)}
    result = subprocess.run([sys.executable, "-c", code], env=env, cwd=package_copy.parent, capture_output=True, text=True, check=True)
    module_file, bundle = result.stdout.splitlines()
    assert Path(module_file).is_relative_to(package_copy)
    assert Path(bundle) == (package_copy / "resources" / "models" / "orlune-nc-default.bin").resolve()
