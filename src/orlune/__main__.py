"""`python -m orlune` and the `orlune` command."""

from __future__ import annotations

import sys
from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line with `argv` (default: the process's); returns the exit status."""
    from .cli import main as run

    return run(argv)


if __name__ == "__main__":
    sys.exit(main())
