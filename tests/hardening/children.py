"""Child interpreters for the hardening tests, on the instrumented test engine or the real one."""

from __future__ import annotations

import subprocess
import textwrap
from collections.abc import Callable

from engine_harness import SUPPORT_DIR, PackageCopy, run_python

ChildRunner = Callable[..., "subprocess.CompletedProcess[str]"]

_REAL_ENGINE_PRELUDE = """
import numpy as np
from pathlib import Path
from engine_control import MODEL, expect_error, open_session
engine = None
"""


def runner(kind: str, make_package_copy: Callable[..., PackageCopy]) -> ChildRunner:
    """Runs code in a child on `kind` ("test": a package copy with the instrumented engine,
    `engine` steering it; "real": the installed package, `engine` None)."""
    if kind == "test":
        return make_package_copy().run

    def run(code: str, *, timeout: float = 60.0, **values: object) -> subprocess.CompletedProcess[str]:
        bound = "".join(f"{name} = {value!r}\n" for name, value in values.items())
        script = _REAL_ENGINE_PRELUDE + bound + textwrap.dedent(code)
        return run_python(script, sys_path=[SUPPORT_DIR], timeout=timeout)

    return run
