"""Fixtures that put the instrumented test engine under a private copy of the package."""

from __future__ import annotations

import importlib.metadata
import sys
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent / "support"))

from engine_harness import (
    LIBRARY_NAME,
    PackageCopy,
    build_test_engine,
    copy_package,
    installed_package_dir,
)  # noqa: E402


def pytest_report_header() -> list[str]:
    try:
        library = installed_package_dir() / "resources" / "lib" / LIBRARY_NAME
    except RuntimeError as error:
        return [f"orlune: {error}"]
    return [f"orlune {importlib.metadata.version('orlune')}, engine library {library}"]


@pytest.fixture(scope="session")
def test_engine_build(pytestconfig: pytest.Config) -> Callable[[str], Path]:
    """Builds a variant of the test engine on first use (cached across runs by content)."""
    cache = getattr(pytestconfig, "cache", None)  # absent under -p no:cacheprovider
    cache_dir = cache.mkdir("test-engine") if cache else Path("build/test-engine").resolve()

    def build(variant: str = "default") -> Path:
        return build_test_engine(cache_dir, variant)

    return build


@pytest.fixture
def make_package_copy(
    tmp_path: Path, test_engine_build: Callable[[str], Path]
) -> Callable[..., PackageCopy]:
    """Copies the package under tmp_path with the given engine variant (None: no library)."""
    counter = iter(range(1_000))

    def make(variant: str | None = "default") -> PackageCopy:
        engine = None if variant is None else test_engine_build(variant)
        return copy_package(tmp_path / f"copy{next(counter)}", engine)

    return make


@pytest.fixture
def engine_package(make_package_copy: Callable[..., PackageCopy]) -> PackageCopy:
    """A package copy whose engine is the default instrumented test engine."""
    return make_package_copy()


@pytest.fixture(scope="session")
def make_bundle() -> ModuleType:
    """engine/tools/make_bundle.py, the one writer of the bundle format."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "engine" / "tools"))
    import make_bundle

    return make_bundle
