"""`orlune plugins`: where the LADSPA and LV2 plugins of this installation are."""

from __future__ import annotations

import sys
from pathlib import Path

from .args import EXIT_OK, EXIT_SOME_FAILED

PLUGINS_DIR = Path(__file__).resolve().parent.parent / "resources" / "plugins"
# Each folder with the file that shows the plugin is really there.
PLUGIN_DIRS = {
    "ladspa": (PLUGINS_DIR / "ladspa", "orlune.so"),
    "lv2": (PLUGINS_DIR / "lv2", "orlune.lv2/manifest.ttl"),
}


def show_plugins() -> int:
    """Prints `ladspa: DIR` and `lv2: DIR`; fails if this installation lacks them."""
    missing = [
        str(folder / marker)
        for folder, marker in PLUGIN_DIRS.values()
        if not (folder / marker).is_file()
    ]
    if missing:
        print(
            f"orlune: error: the plugins are not installed ({', '.join(missing)} missing)",
            file=sys.stderr,
        )
        return EXIT_SOME_FAILED
    for name, (folder, _) in PLUGIN_DIRS.items():
        print(f"{name}: {folder}")
    return EXIT_OK
