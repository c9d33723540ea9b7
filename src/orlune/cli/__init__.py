"""The `orlune` command line. Only this package prints; the library logs."""

from .main import main

__all__ = ["main"]
