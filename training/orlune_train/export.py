"""The trained network into the engine's bundle, the package index and the engine README."""

from __future__ import annotations

import re
import subprocess
import sys
from collections.abc import Mapping, Sequence
from pathlib import Path
from types import ModuleType

import numpy as np

from .model import ExportedLayer

ROOT = Path(__file__).resolve().parents[2]
MODEL_ID = "orlune-nc-learned"
# The learned model is also the packaged default, under this id, at the same version.
DEFAULT_MODEL_ID = "orlune-nc-default"
MODEL_VERSION = "2"
BUNDLE_PATH = ROOT / "src" / "orlune" / "resources" / "models" / f"{MODEL_ID}.bin"
README_PATH = ROOT / "engine" / "README.md"
README_HEADING = "## The packaged learned model"


def bundle_writer() -> ModuleType:
    """engine/tools/make_bundle.py, which owns the bundle format."""
    sys.path.insert(0, str(ROOT / "engine" / "tools"))
    import make_bundle

    return make_bundle


def code_commit() -> str:
    """HEAD of the working tree, marked when files differ from it."""

    def git(*args: str) -> str:
        return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True, check=True).stdout.strip()

    try:
        commit = git("rev-parse", "HEAD")
        dirty = git("status", "--porcelain", "--untracked-files=no")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return commit + ("+modified" if dirty else "")


def write_bundle(layers: Sequence[ExportedLayer], path: Path, metadata: Mapping[str, str]) -> Path:
    writer = bundle_writer()
    converted = [writer.Layer(kind=l.kind, activation=l.activation, weights=l.weights) for l in layers]
    return Path(writer.write_learned_bundle(path, converted, dict(metadata)))


def read_bundle(path: Path) -> tuple[list[ExportedLayer], dict[str, str]]:
    """(layers, metadata) of a learned bundle that `write_bundle` wrote."""
    sections = bundle_writer().decode_sections(Path(path).read_bytes())
    layers = []
    while f"net.{len(layers)}.kind" in sections:
        prefix = f"net.{len(layers)}."
        fields = {k[len(prefix) :]: v for k, v in sections.items() if k.startswith(prefix)}
        kind, activation = str(fields.pop("kind")), str(fields.pop("activation"))
        layers.append(ExportedLayer(kind, activation, {k: np.array(v) for k, v in fields.items()}))
    metadata = {k[len("meta.") :]: str(v) for k, v in sections.items() if k.startswith("meta.")}
    return layers, metadata


def register(path: Path) -> None:
    """Lists the bundle in the package index under its own id and, copied, as the default."""
    writer = bundle_writer()
    writer.register_model(MODEL_ID, MODEL_VERSION, path)
    default = path.with_name(f"{DEFAULT_MODEL_ID}.bin")
    default.write_bytes(path.read_bytes())
    writer.register_model(DEFAULT_MODEL_ID, MODEL_VERSION, default)


def readme_section(metadata: Mapping[str, str]) -> str:
    steps = f"{metadata['training.steps']} ({metadata['training.best_step']})"
    minutes = f"{metadata['training.minutes']} min"
    if "training.finishing.steps" in metadata:
        steps += f", then {metadata['training.finishing.steps']} ({metadata['training.finishing.best_step']}) finishing"
        minutes += f" + {metadata['training.finishing.minutes']} min finishing"
    how = "one command, which rebuilds it\nend to end (decoding, fresh mixtures every step, training, export, this section)"
    if "training.main_stage" in metadata:
        how = (
            "the command below, which ran only the finishing stage, from the network of the bundle it\n"
            f"replaced (main stage: {metadata['training.main_stage']});\n"
            "`python training/build_model.py` alone runs both stages end to end (decoding, fresh\n"
            "mixtures every step, training, export, this section)"
        )
    return f"""{README_HEADING}

`src/orlune/resources/models/{MODEL_ID}.bin` (id `{MODEL_ID}`, version "{MODEL_VERSION}", copied as
the packaged default `{DEFAULT_MODEL_ID}`) was trained on the CPU from `../shared/training` and exported by
{how}:

```sh
pip install ".[train]"
{metadata["training.command"]}
```

| | |
|---|---|
| seed | {metadata["training.seed"]} |
| training manifest SHA-256 | `{metadata["training.manifest_sha256"]}` |
| code commit | `{metadata["training.code_commit"]}` |
| steps (kept: best on held-out speakers) | {steps} |
| wall time | {minutes} on the shared 2-core machine |
| network | {metadata["network.layers"]} |
| size and cost | {metadata["network.weights"]} weights, {metadata["network.mmacs_per_second"]} M multiply-adds per second of audio |
| speech corpora | {metadata["training.corpora"]} |

Noise: the ambient recordings of `../shared/training/noise` plus synthetic coloured noise,
mains hum, fan noise, clicks and beeps; simulated rooms, random microphone EQ, levels,
speech played 0.85 to 1.15 times as fast (more voices than the corpus has speakers),
recorded noise played up to 1.3 times as fast, coloured noise down to -9 dB per octave and
down to 2 Hz (rumble), band-limited (telephone-like) mixtures and mixtures without any
noise (speech out of digital silence) are made during training. The finishing stage, at a
tenth of the learning rate, adds streams that open with 0.1-1.5 s of exact zeros (a muted
input), more noise-free mixtures, more steady synthetic noise, and recorded noise down to
-10 dB SNR, at its own speed. The table's values are also in the bundle's metadata.
"""


def update_readme(metadata: Mapping[str, str], readme: Path = README_PATH) -> None:
    """Rewrites this section of the engine README in place, or appends it at the end."""
    text = readme.read_text()
    section = readme_section(metadata)
    pattern = re.compile(rf"^{re.escape(README_HEADING)}\n.*?(?=^## |\Z)", re.DOTALL | re.MULTILINE)
    found = pattern.search(text)
    if found:
        rest = text[found.end() :]
        text = text[: found.start()] + section + ("\n" + rest if rest.strip() else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    readme.write_text(text.rstrip("\n") + "\n")
