"""Fixtures for the engine tests."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path
from types import ModuleType

import pytest

from tests.engine import learned_bundles
from tests.engine.engine_api import BUNDLE_PATH, LIBRARY_PATH, MAKE_BUNDLE_PATH, Engine


@pytest.fixture(scope="session")
def engine() -> Engine:
    return Engine(LIBRARY_PATH)


@pytest.fixture(scope="session")
def make_bundle() -> ModuleType:
    """engine/tools/make_bundle.py, imported from its path."""
    spec = importlib.util.spec_from_file_location("make_bundle", MAKE_BUNDLE_PATH)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def random_learned_bundle(make_bundle: ModuleType, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A learned model of the reference shape with random weights."""
    path = tmp_path_factory.mktemp("learned") / "random.bin"
    return learned_bundles.write(make_bundle, path, learned_bundles.random_layers(make_bundle))


@pytest.fixture(scope="session")
def silencing_bundle(make_bundle: ModuleType, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A learned model whose network calls everything noise: band gains of 1e-6, speech probability 0.2."""
    path = tmp_path_factory.mktemp("learned") / "silencing.bin"
    return learned_bundles.write(make_bundle, path, learned_bundles.constant_layers(make_bundle, 1e-6, 0.2))


@pytest.fixture(params=["classic", "learned"])
def bundle(request: pytest.FixtureRequest) -> Path:
    """Each kind of model: the packaged statistical one, and a learned one with random weights."""
    if request.param == "classic":
        return BUNDLE_PATH
    path: Path = request.getfixturevalue("random_learned_bundle")
    return path
