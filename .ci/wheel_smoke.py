"""Uses an installed orlune as a new user would, from an empty directory:
`python wheel_smoke.py README.md`.

Imports the package (which must not come from a source tree), runs
`orlune denoise` on a generated recording, checks that the plugin folders it
prints hold their libraries, and runs every Python example of the README
but the one that needs a Dask scheduler and an object store.
Exits non-zero on the first thing that fails.
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import soundfile as sf  # type: ignore[import-untyped]

import orlune

# The batch example talks to a running scheduler and an object store, which a bare
# machine has neither of (the batch tests cover that code with a local cluster).
NEEDS_A_CLUSTER = re.compile(r"\bClient\(|s3://")


def run(*command: str) -> str:
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise SystemExit(f"{' '.join(command[:3])} ... failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def write_recording(path: Path, rate: int = 48000, seconds: float = 3.0) -> None:
    """A 440 Hz tone, switched on and off, in white noise."""
    time = np.arange(int(rate * seconds)) / rate
    tone = 0.3 * np.sin(2 * np.pi * 440 * time) * (np.sin(2 * np.pi * 0.5 * time) > 0)
    noise = np.random.default_rng(1).normal(0.0, 0.05, time.size)
    sf.write(path, (tone + noise).astype(np.float32), rate, subtype="PCM_16")


def main() -> None:
    package = Path(orlune.__file__).resolve().parent
    if "site-packages" not in package.parts:
        raise SystemExit(f"orlune was imported from {package}, not from an installation")
    print(f"orlune {orlune.__version__} from {package}")

    recording = Path("meeting.wav")
    write_recording(recording)
    print(run("orlune", "denoise", str(recording), "-o", "meeting.clean.wav").strip())
    clean, rate = sf.read("meeting.clean.wav")
    if rate != 48000 or clean.shape != sf.read(recording)[0].shape:
        raise SystemExit("orlune denoise did not keep the input's rate and length")

    for line in run("orlune", "plugins").splitlines():
        kind, _, folder = line.partition(": ")
        if not any(Path(folder).rglob("orlune.so")):
            raise SystemExit(f"the {kind} folder {folder} holds no plugin library")

    readme = Path(sys.argv[1]).read_text(encoding="utf-8")
    examples = re.findall(r"^```python\n(.*?)^```", readme, flags=re.MULTILINE | re.DOTALL)
    if not examples:
        raise SystemExit("the README holds no Python example")
    for number, example in enumerate(examples, 1):
        if NEEDS_A_CLUSTER.search(example):
            print(f"README Python example {number} of {len(examples)} needs a Dask scheduler and a store: not run")
            continue
        run(sys.executable, "-W", "error", "-c", example)
        print(f"README Python example {number} of {len(examples)} ran")


if __name__ == "__main__":
    main()
