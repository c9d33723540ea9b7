"""Runs the installed `orlune` package against the instrumented test engine.

The engine library is found beside the binding's own file, so the only way to
swap it without touching the installation is a private copy of the package:
`copy_package` puts one in a directory with the test engine at
`orlune/resources/lib/liborlune_nc.so`, and `PackageCopy.run` executes code in
a child interpreter that imports that copy first. Used by the tests (through
`tests/conftest.py`) and by benchmark scripts.
"""

from __future__ import annotations

import hashlib
import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path

PROJECT_ROOT = Path(__file__).resolve().parents[2]
SUPPORT_DIR = Path(__file__).resolve().parent
ENGINE_SOURCE = SUPPORT_DIR / "instrumented_engine.cpp"
ENGINE_INCLUDE_DIR = PROJECT_ROOT / "engine" / "include"
LIBRARY_NAME = "liborlune_nc.so"

# Extra compiler defines per variant of the test engine.
ENGINE_VARIANTS: dict[str, tuple[str, ...]] = {
    "default": (),
    "omit_reset": ("-DOMIT_RESET",),
    "current_prefix_only": ("-DCURRENT_PREFIX_ONLY",),
}

CHILD_TIMEOUT_S = 60.0


class ChildProcessFailed(AssertionError):
    """A child interpreter exited with an error; the message carries its output."""


def _compiler() -> str:
    for name in ("c++", "g++"):
        found = shutil.which(name)
        if found:
            return found
    raise RuntimeError("the test engine needs a C++20 compiler on PATH (c++ or g++)")


def build_test_engine(cache_dir: Path, variant: str = "default") -> Path:
    """Compiles the test engine once per source, flags and compiler; returns the library."""
    compiler = _compiler()
    flags = [
        "-std=c++20", "-O2", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
        "-I", str(ENGINE_INCLUDE_DIR), *ENGINE_VARIANTS[variant],
    ]  # fmt: skip
    digest = hashlib.sha256()
    for part in (ENGINE_SOURCE.read_bytes(), (ENGINE_INCLUDE_DIR / "orlune_nc.h").read_bytes()):
        digest.update(part)
    digest.update(" ".join([compiler, *flags]).encode())
    target = cache_dir / f"testengine-{variant}-{digest.hexdigest()[:16]}.so"
    if target.is_file():
        return target
    cache_dir.mkdir(parents=True, exist_ok=True)
    partial = target.with_name(f"{target.name}.{os.getpid()}.partial")
    result = subprocess.run(
        [compiler, *flags, "-o", str(partial), str(ENGINE_SOURCE)],
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode != 0 or result.stderr.strip():
        partial.unlink(missing_ok=True)
        raise RuntimeError(f"building the test engine failed (warnings count):\n{result.stderr}")
    os.replace(partial, target)  # atomic, so a concurrent build never sees half a file
    return target


def installed_package_dir() -> Path:
    """The installed `orlune` folder, located without importing its extension modules."""
    spec = importlib.util.find_spec("orlune")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError("the orlune package is not installed")
    package = Path(next(iter(spec.submodule_search_locations))).resolve()
    if not any(package.glob("_orlune_nc.*")):
        raise RuntimeError(f"{package} holds no built extension modules; install with pip first")
    return package


@dataclass(frozen=True)
class PackageCopy:
    """A private copy of the package; `root` goes first on the child's sys.path."""

    root: Path

    @property
    def package_dir(self) -> Path:
        return self.root / "orlune"

    @property
    def library_path(self) -> Path:
        return self.package_dir / "resources" / "lib" / LIBRARY_NAME

    @property
    def model_path(self) -> Path:
        return self.package_dir / "resources" / "models" / "orlune-nc-default.bin"

    def run(
        self,
        code: str,
        *,
        with_engine: bool = True,
        timeout: float = CHILD_TIMEOUT_S,
        **values: str | int | float | Path,
    ) -> subprocess.CompletedProcess[str]:
        """Runs `code` in a child importing this copy, with `values` bound as globals.

        The code starts with `np`, `Path`, `MODEL`, `LIBRARY`, `open_session` and
        `expect_error` defined and, with `with_engine`, `engine`: an
        InstrumentedEngine on the copy's engine library.
        """
        lines = [
            "import numpy as np",
            "from pathlib import Path",
            "from engine_control import LIBRARY, MODEL, InstrumentedEngine, expect_error",
            "from engine_control import open_session",
        ]
        if with_engine:
            lines.append("engine = InstrumentedEngine()")
        for name, value in values.items():
            lines.append(
                f"{name} = Path({str(value)!r})"
                if isinstance(value, Path)
                else f"{name} = {value!r}"
            )
        script = "\n".join(lines) + "\n" + textwrap.dedent(code)
        return run_python(script, sys_path=[self.root, SUPPORT_DIR], cwd=self.root, timeout=timeout)


def copy_package(destination: Path, engine_library: Path | None) -> PackageCopy:
    """Copies the installed package into `destination`; puts `engine_library` in as the engine.

    With `engine_library` None the copy has no engine library at all.
    """
    copy = PackageCopy(destination)
    shutil.copytree(
        installed_package_dir(), copy.package_dir, ignore=shutil.ignore_patterns("__pycache__")
    )
    copy.library_path.unlink(missing_ok=True)
    if engine_library is not None:
        copy.library_path.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(engine_library, copy.library_path)
    return copy


def run_python(
    code: str,
    *,
    sys_path: list[Path] | None = None,
    cwd: Path | None = None,
    timeout: float = CHILD_TIMEOUT_S,
) -> subprocess.CompletedProcess[str]:
    """Runs `code` (dedented) in a fresh interpreter, warnings as errors; fails loudly if it fails.

    `sys_path` entries come first on the child's path. A child stuck for almost
    `timeout` dumps every thread's stack to its stderr before it is stopped.
    """
    header = (
        "import sys, faulthandler\n"
        f"sys.path[:0] = {[str(entry) for entry in sys_path or []]!r}\n"
        f"faulthandler.dump_traceback_later({max(timeout - 5.0, 1.0)!r}, exit=True)\n"
    )
    script = header + textwrap.dedent(code)
    command = [sys.executable, "-X", "faulthandler", "-W", "error", "-c", script]
    try:
        result = subprocess.run(
            command, capture_output=True, text=True, timeout=timeout, cwd=cwd, check=False
        )
    except subprocess.TimeoutExpired as expired:
        raise ChildProcessFailed(
            _describe(script, "timed out", expired.stdout, expired.stderr)
        ) from None
    if result.returncode != 0:
        raise ChildProcessFailed(
            _describe(script, f"exit status {result.returncode}", result.stdout, result.stderr)
        )
    return result


def _describe(script: str, outcome: object, stdout: object, stderr: object) -> str:
    numbered = "\n".join(
        f"{number:4} | {line}" for number, line in enumerate(script.splitlines(), 1)
    )
    return (
        f"child interpreter failed ({outcome})\n--- script ---\n{numbered}\n"
        f"--- stdout ---\n{_text(stdout)}\n--- stderr ---\n{_text(stderr)}"
    )


def _text(output: object) -> str:
    if isinstance(output, bytes):
        return output.decode(errors="replace")
    return str(output or "")
