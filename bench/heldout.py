#!/usr/bin/env python3
"""Scores on mixtures of held-out training speakers, for trying settings out.

The evaluation recordings (quality.py) never choose a setting; this set may: speech of the
speakers that training keeps out (training/orlune_train/corpus.py), noise from the training
recordings, 3-4 s excerpts at -25 dBFS mixed at -5 to 15 dB SNR, seeded. Prints the SI-SDR
and PESQ-WB improvements over the mixture per SNR. The network has heard these noises, so
what relies on its confidence (a stronger expansion, say) looks better here than on noise
it has never heard: confirm a change on the evaluation set before adopting it.

    pip install ".[bench]"
    python bench/heldout.py                          # the packaged default
    python bench/heldout.py --bundle B.bin --rnnoise # another bundle, and RNNoise beside it
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "training"))

import _corpus  # noqa: E402
import _metrics  # noqa: E402
import _systems  # noqa: E402
from orlune_train import corpus  # noqa: E402

SNRS_DB = (-5, 0, 5, 10, 15)
SECONDS = 4


def mixtures(data: corpus.Corpus, per_snr: int, seed: int) -> list[tuple[int, np.ndarray, np.ndarray]]:
    """(SNR, clean, noisy) at the training rate, quantised like 16-bit input."""
    rng = np.random.default_rng(seed)
    rate = corpus.TRAINING_RATE
    speech = [s for s in data.validation_speech if len(s) >= 3 * rate]
    made = []
    for snr in SNRS_DB:
        for _ in range(per_snr):
            clean = speech[rng.integers(len(speech))].astype(np.float64)
            start = rng.integers(0, max(1, len(clean) - SECONDS * rate))
            clean = clean[start : start + SECONDS * rate]
            noise = _corpus.noise_excerpt(data.noise[rng.integers(len(data.noise))].astype(np.float64), len(clean), rng)
            clean = clean * 10 ** (_corpus.SPEECH_LEVEL_DBFS / 20) / np.sqrt(_corpus.power(clean))
            noise = noise * np.sqrt(_corpus.power(clean) / max(_corpus.power(noise), 1e-20) / 10 ** (snr / 10))
            made.append((snr, _corpus.on_16_bit_grid(clean), _corpus.on_16_bit_grid(clean + noise)))
    return made


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bundle", type=Path, help="score this model bundle instead of the packaged default")
    parser.add_argument("--rnnoise", action="store_true", help="score RNNoise too")
    parser.add_argument("--data", type=Path, default=corpus.default_root(), help="the training recordings")
    parser.add_argument("--cache", type=Path, default=ROOT / "build" / "training-cache")
    parser.add_argument("--per-snr", type=int, default=24)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args(argv)
    if not (args.data / "manifest.json").is_file():
        print(f"skipped: no training recordings at {args.data}")
        return 0

    systems = {"orlune": _systems.orlune_denoiser(100.0, args.bundle)}
    if args.rnnoise:
        systems["rnnoise"] = _systems.rnnoise_denoise
    rate = corpus.TRAINING_RATE
    scores: dict[tuple[str, int], list[tuple[float, float]]] = {}
    for snr, clean, noisy in mixtures(corpus.load(args.data, args.cache), args.per_snr, args.seed):
        before = (_metrics.si_sdr(noisy, clean), _metrics.pesq_wb(noisy, clean))
        for name, denoise in systems.items():
            output = denoise(noisy, rate)
            after = (_metrics.si_sdr(output, clean), _metrics.pesq_wb(output, clean))
            scores.setdefault((name, snr), []).append((after[0] - before[0], after[1] - before[1]))

    print(f"{'improvement':<24}" + "".join(f"{snr:>+9d} dB" for snr in SNRS_DB) + f"{'mean':>12}")
    for name in systems:
        per_snr = np.array([np.mean(scores[(name, snr)], axis=0) for snr in SNRS_DB])
        for column, metric in enumerate(("SI-SDR (dB)", "PESQ-WB")):
            values = [*per_snr[:, column], per_snr[:, column].mean()]
            print(f"{name + ' ' + metric:<24}" + "".join(f"{v:>12.3f}" for v in values))
    return 0


if __name__ == "__main__":
    sys.exit(main())
