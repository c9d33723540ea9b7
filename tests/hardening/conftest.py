"""Settings shared by the hardening tests: the soak switch and sanitizer detection."""

from __future__ import annotations

import os

import pytest

# ORLUNE_SOAK=1 runs the long soaks (10^6 blocks, 10^4 processors) instead of the CI sizes.
SOAK = os.environ.get("ORLUNE_SOAK") == "1"
# Under .ci/sanitize the ASan runtime is preloaded; its quarantine holds freed
# memory back on purpose, so resident memory says nothing about leaks there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_configure(config: pytest.Config) -> None:
    # Hypothesis's failure report imports a module that warns on import; keep
    # the report readable instead of turning it into an internal error.
    config.addinivalue_line("filterwarnings", "ignore:mypy_extensions.TypedDict:DeprecationWarning")
