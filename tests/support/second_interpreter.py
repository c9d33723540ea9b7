"""Run as `python second_interpreter.py MODULE`: imports MODULE, then tries to import it
again in two sub-interpreters of the same process (one sharing the main interpreter's
GIL, one with a GIL of its own) and once more in the main interpreter, and prints
what each attempt raised, as JSON ("Type: message", or null when nothing was raised).
"""

from __future__ import annotations

import importlib
import json
import sys


def in_subinterpreter(module: str, *, shared_gil: bool) -> str | None:
    if sys.version_info >= (3, 13):
        import _interpreters  # type: ignore[import-not-found]

        interpreter = _interpreters.create("legacy" if shared_gil else "isolated")
        try:
            failure = _interpreters.exec(interpreter, f"import {module}")
        finally:
            _interpreters.destroy(interpreter)
        return None if failure is None else str(failure.formatted)

    import _xxsubinterpreters as interpreters  # type: ignore[import-not-found]

    interpreter = interpreters.create(isolated=not shared_gil)
    try:
        interpreters.run_string(interpreter, f"import {module}")
    except interpreters.RunFailedError as error:
        kind, _, message = str(error).partition(": ")  # "<class 'ImportError'>: message"
        kind = kind.removeprefix("<class '").removesuffix("'>")
        return f"{kind}: {message}"
    finally:
        interpreters.destroy(interpreter)
    return None


def imported_again(module: str) -> str | None:
    del sys.modules[module]
    try:
        importlib.import_module(module)
    except Exception as error:
        return f"{type(error).__name__}: {error}"
    return None


def main() -> None:
    module = sys.argv[1]
    importlib.import_module(module)
    seen = {
        "shared_gil": in_subinterpreter(module, shared_gil=True),
        "own_gil": in_subinterpreter(module, shared_gil=False),
        "again": imported_again(module),
    }
    print(json.dumps(seen))


if __name__ == "__main__":
    main()
