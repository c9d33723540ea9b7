"""The stubs and annotations, as a user's type checker sees the installed package."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

FIXTURES = Path(__file__).parent / "typing"
_EXPECTED = re.compile(r"#\s*error:\s*([\w-]+)")
_REPORTED = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")


def _expected_errors(path: Path) -> set[tuple[str, int, str]]:
    found = set()
    for number, line in enumerate(path.read_text().splitlines(), start=1):
        if match := _EXPECTED.search(line):
            found.add((path.name, number, match.group(1)))
    return found


def test_mypy_strict_accepts_good_use_and_rejects_float_for_int16(tmp_path: Path) -> None:
    cache = Path(__file__).parents[1] / ".mypy_cache"  # git-ignored; makes reruns quick
    ok = sorted(FIXTURES.glob("ok_*.py"))
    bad = sorted(FIXTURES.glob("bad_*.py"))
    assert ok and bad
    # From a directory outside the source tree, so mypy finds the installed package.
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *map(str, ok + bad)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=300,
    )
    reported = {
        (Path(m["file"]).name, int(m["line"]), m["code"])
        for m in map(_REPORTED.match, run.stdout.splitlines())
        if m is not None
    }
    expected = set().union(*map(_expected_errors, bad))
    assert expected and reported == expected, run.stdout
