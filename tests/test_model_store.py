from __future__ import annotations

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any
from urllib.parse import quote

import pytest

import orlune

MODEL = {"model_id": "orlune-nc-default", "model_version": "2"}
PACKAGED_URL = "package:models/orlune-nc-default.bin"
ENTRY = {"id": "orlune-nc-default", "version": "2", "file": "orlune-nc-default.bin"}
INSTALLED_MODELS = Path(orlune.__file__).parent / "resources" / "models"


@pytest.fixture
def package_copy(tmp_path: Path) -> Path:
    """A private copy of the installed package folder, free to be damaged."""
    copy = tmp_path / "site" / "orlune"
    shutil.copytree(INSTALLED_MODELS.parent.parent, copy, ignore=shutil.ignore_patterns("__pycache__"))
    return copy


@pytest.fixture
def store(package_copy: Path, monkeypatch: pytest.MonkeyPatch) -> ModuleType:
    """``_model_store`` imported from the copy, so it reads the copy's resources."""
    spec = importlib.util.spec_from_file_location("copied_model_store", package_copy / "_model_store.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, spec.name, module)
    spec.loader.exec_module(module)
    return module


def _resolve(store: ModuleType, url: str) -> Any:
    return store.ModelStore().resolve(store.ModelManifest(model_url=url, **MODEL))


def _sha256_in_index(models: Path) -> str:
    return str(json.loads((models / "index.json").read_text())["models"][0]["sha256"])


def _index(document: object) -> Callable[[Path], object]:
    text = document if isinstance(document, str) else json.dumps(document)
    return lambda models: (models / "index.json").write_text(text)


def _only_entry(**changes: str) -> Callable[[Path], object]:
    return _index({"models": [{**ENTRY, "sha256": "0" * 64, **changes}]})


def _swap(name: str, make: Callable[[Path], object]) -> Callable[[Path], None]:
    def setup(models: Path) -> None:
        (models / name).unlink()
        make(models / name)

    return setup


def _append_byte(models: Path) -> None:
    with open(models / "orlune-nc-default.bin", "ab") as bundle:
        bundle.write(b"\0")


BUNDLE_URL = "file:///{bundle}"
FAULTS = {
    "tampered bundle": (_append_byte, PACKAGED_URL, "checksum mismatch"),
    "missing bundle": (_swap("orlune-nc-default.bin", lambda path: None), PACKAGED_URL, "missing file"),
    "directory": (_swap("orlune-nc-default.bin", Path.mkdir), PACKAGED_URL, "not a regular file"),
    "fifo": (_swap("orlune-nc-default.bin", os.mkfifo), PACKAGED_URL, "not a regular file"),
    "index is a fifo": (_swap("index.json", os.mkfifo), PACKAGED_URL, "not a regular file"),
    "traversal": (None, "package:../../etc/passwd", "escapes the package resources"),
    "empty package path": (None, "package:", "non-empty relative path"),
    "url names another file": (None, "package:models/index.json", "the index lists"),
    "https": (None, "https://example.invalid/m.bin", "unsupported URL scheme"),
    "remote file host": (None, "file://server/m.bin", "remote host"),
    "relative file url": (None, "file:m.bin", "absolute file path"),
    "short fragment": (None, BUNDLE_URL + "#sha256=abc", "bad URL fragment"),
    "other digest": (None, BUNDLE_URL + "#md5=" + "0" * 32, "bad URL fragment"),
    "wrong digest": (None, BUNDLE_URL + "#sha256=" + "0" * 64, "checksum mismatch"),
    "bad json": (_index("{not json"), PACKAGED_URL, "malformed model index"),
    "no models list": (_index({"bundles": []}), PACKAGED_URL, "malformed model index"),
    "entry without sha256": (_index({"models": [ENTRY]}), PACKAGED_URL, "malformed model index"),
    "unknown model": (_only_entry(id="other"), PACKAGED_URL, "unknown model"),
    "unknown version": (_only_entry(version="3"), PACKAGED_URL, r"unknown version.*\['3'\]"),
    "index file escapes": (_only_entry(file="../../x"), PACKAGED_URL, "escapes"),
}


@pytest.mark.parametrize(("setup", "url", "reason"), FAULTS.values(), ids=FAULTS.keys())
def test_faults_raise_model_store_error_naming_the_model(
    store: ModuleType, package_copy: Path, setup: Callable[[Path], object] | None, url: str, reason: str
) -> None:
    models = package_copy / "resources" / "models"
    if setup is not None:
        setup(models)
    bundle = quote(str(models / "orlune-nc-default.bin")).lstrip("/")
    with pytest.raises(store.ModelStoreError, match=reason) as caught:
        _resolve(store, url.format(bundle=bundle))
    assert isinstance(caught.value, RuntimeError)
    assert str(caught.value).startswith("Model 'orlune-nc-default' version '2': ")


def test_index_and_bundle_are_read_at_each_resolve(store: ModuleType, package_copy: Path) -> None:
    models = package_copy / "resources" / "models"
    artifact = _resolve(store, PACKAGED_URL)
    assert artifact.path == (models / "orlune-nc-default.bin").resolve() and artifact.path.is_file()
    assert artifact.sha256 == _sha256_in_index(models)
    _append_byte(models)
    with pytest.raises(store.ModelStoreError, match="checksum mismatch"):
        _resolve(store, PACKAGED_URL)


@pytest.mark.parametrize("prefix", ["file://", "file://localhost", "FILE://"])
@pytest.mark.parametrize("with_digest", [False, True])
def test_file_url_outside_the_package(
    store: ModuleType, tmp_path: Path, prefix: str, with_digest: bool
) -> None:
    bundle = tmp_path / "my models" / "bündle v1.bin"
    bundle.parent.mkdir()
    shutil.copyfile(INSTALLED_MODELS / "orlune-nc-default.bin", bundle)
    digest = _sha256_in_index(INSTALLED_MODELS)
    fragment = f"#sha256={digest.upper()}" if with_digest else ""
    artifact = _resolve(store, prefix + quote(str(bundle)) + fragment)
    assert (artifact.path, artifact.sha256) == (bundle.resolve(), digest)
    assert artifact.size_bytes == bundle.stat().st_size


def test_relocated_package_copy_resolves_its_own_bundle(package_copy: Path) -> None:
    code = (
        "import orlune; from orlune._model_store import ModelStore, ModelManifest\n"
        f"manifest = ModelManifest(model_url={PACKAGED_URL!r}, **{MODEL!r})\n"
        "print(orlune.__file__); print(ModelStore().resolve(manifest).path)"
    )
    env = {**os.environ, "PYTHONPATH": str(package_copy.parent)}
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    module_file, bundle = run.stdout.splitlines()
    assert Path(module_file).is_relative_to(package_copy)
    assert Path(bundle) == (package_copy / "resources" / "models" / "orlune-nc-default.bin").resolve()
