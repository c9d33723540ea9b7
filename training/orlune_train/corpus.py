"""The training recordings: manifest, selection, decoding to the training rate."""

from __future__ import annotations

import hashlib
import json
import zlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import soundfile as sf
import soxr

TRAINING_RATE = 16000
# Speech whose frame energies span less than this carries audible background noise of
# its own: a poor clean target.
MIN_DYNAMIC_RANGE_DB = 27.0
# Share of speakers kept out of training to watch for overfitting.
VALIDATION_SHARE = 0.1

Audio = npt.NDArray[np.float32]


@dataclass
class Corpus:
    train_speech: list[Audio]
    validation_speech: list[Audio]
    noise: list[Audio]
    manifest_sha256: str
    corpora: list[str]


def default_root() -> Path:
    """../shared/training beside this checkout, or beside a folder above it (a worktree)."""
    checkout = Path(__file__).resolve().parents[2]
    found = (p / "shared" / "training" for p in checkout.parents if (p / "shared" / "training").is_dir())
    return next(found, checkout.parent / "shared" / "training")


def manifest_sha256(root: Path) -> str:
    return hashlib.sha256((root / "manifest.json").read_bytes()).hexdigest()


def _is_validation(speaker: str) -> bool:
    return zlib.crc32(speaker.encode()) % 1000 < VALIDATION_SHARE * 1000


def _decode(path: Path) -> Audio:
    samples, rate = sf.read(path, dtype="float32", always_2d=True)
    mono = samples.mean(axis=1)
    if rate != TRAINING_RATE:
        mono = soxr.resample(mono, rate, TRAINING_RATE, quality="HQ")
    return np.ascontiguousarray(mono, np.float32)


def _cached(root: Path, entries: list[dict[str, object]], cache: Path) -> list[Audio]:
    """Every entry decoded at the training rate, kept in `cache` between runs."""
    key = hashlib.sha256(json.dumps([e["file"] for e in entries]).encode()).hexdigest()[:16]
    path = cache / f"audio-{key}.npz"
    if path.is_file():
        with np.load(path) as stored:
            return [stored[f"a{i}"] for i in range(len(entries))]
    decoded = []
    for i, entry in enumerate(entries):
        decoded.append(_decode(root / str(entry["file"])))
        if (i + 1) % 100 == 0 or i + 1 == len(entries):
            print(f"  decoded {i + 1}/{len(entries)}", flush=True)
    cache.mkdir(parents=True, exist_ok=True)
    np.savez(path, **{f"a{i}": a for i, a in enumerate(decoded)})
    return decoded


def load(root: Path, cache: Path) -> Corpus:
    """Speech (noisy clips dropped, a few speakers held out) and noise at 16 kHz."""
    manifest = json.loads((root / "manifest.json").read_text())
    speech = [e for e in manifest["speech"] if float(e["est_dynamic_range_db"]) >= MIN_DYNAMIC_RANGE_DB]
    speech_audio = _cached(root, speech, cache)
    noise_audio = _cached(root, manifest["noise"], cache)
    train, validation = [], []
    for entry, audio in zip(speech, speech_audio):
        (validation if _is_validation(str(entry["speaker"])) else train).append(audio)
    corpora = sorted({str(e["corpus"]) for e in speech})
    return Corpus(train, validation, noise_audio, manifest_sha256(root), corpora)
