"""Fixtures for the engine tests."""

from __future__ import annotations

import importlib.util
import sys
from types import ModuleType

import pytest

from tests.engine.engine_api import LIBRARY_PATH, MAKE_BUNDLE_PATH, Engine


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
