"""The package version: the single source the build metadata reads too."""

__version__ = "0.1.0"


def _sdk_version() -> str:
    """The version reported with usage telemetry."""
    return __version__
