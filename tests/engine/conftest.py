"""Fixtures for the engine tests."""

from __future__ import annotations

from pathlib import Path
from types import ModuleType

import pytest

from tests.engine import learned_bundles
from tests.engine.engine_api import BUNDLE_PATH, LIBRARY_PATH, Engine


@pytest.fixture(scope="session")
def engine() -> Engine:
    return Engine(LIBRARY_PATH)


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
