#!/usr/bin/env python3
"""Speech quality of the engine against the unprocessed mixture and open denoisers.

Each clean recording of ../shared/audio, at -25 dBFS, is mixed with one noise recording
(seeded offset, looped when shorter) at each SNR, resampled to 16 and 48 kHz and run
through OrluneProcessor; the engine's constant delay is removed before scoring.
Prints SI-SDR improvement, PESQ wide band (at 16 kHz) and STOI per SNR and overall.

    python bench/quality.py            # the full run
    python bench/quality.py --quick    # a third of the items, orlune and the mixture only
"""

from __future__ import annotations

import argparse
import logging
import math
import sys
import time
from collections import defaultdict
from collections.abc import Sequence
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _corpus  # noqa: E402
import _metrics  # noqa: E402
import _systems  # noqa: E402

SNRS_DB = [-5.0, 0.0, 5.0, 10.0, 15.0]
RATES = [16000, 48000]
Scores = dict[str, float]


def score(output: _corpus.FloatArray, mixture: _corpus.Mixture, perceptual: bool) -> Scores:
    scores = {"si_sdr": _metrics.si_sdr(output, mixture.clean)}
    if perceptual:
        reference = _corpus.resample(mixture.clean, mixture.rate, 16000)
        estimate = _corpus.resample(output, mixture.rate, 16000)
        scores["pesq"] = _metrics.pesq_wb(estimate, reference)
        scores["stoi"] = _metrics.stoi(estimate, reference)
    return scores


def mean(values: Sequence[float]) -> float:
    finite = [v for v in values if not math.isnan(v)]
    return float(np.mean(finite)) if finite else float("nan")


def print_table(rate: int, results: dict[tuple[str, int, float], list[Scores]], systems: list[str]) -> None:
    metrics = [m for m in ("si_sdr", "pesq", "stoi") if any(m in s for r in results.values() for s in r)]
    labels = {"si_sdr": "SI-SDRi dB", "pesq": "PESQ-WB", "stoi": "STOI"}
    present = [s for s in systems if any(key[0] == s and key[1] == rate for key in results)]
    print(f"\n=== {rate} Hz ===")
    for metric in metrics:
        header = f"{labels[metric]:<12}" + "".join(f"{name:>13}" for name in present)
        print(header)
        for snr in [*SNRS_DB, None]:
            row = f"{'mean' if snr is None else f'{snr:+.0f} dB':<12}"
            for name in present:
                values = [
                    s[metric] - (base[metric] if metric == "si_sdr" else 0.0)
                    for (system, r, snr_db), runs in results.items()
                    if system == name and r == rate and (snr is None or snr_db == snr)
                    for s, base in zip(runs, results[("mixture", r, snr_db)])
                ]
                row += f"{mean(values):>13.3f}" if values else f"{'-':>13}"
            print(row)
        print()


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="every third item, orlune and mixture only")
    parser.add_argument("--items", type=int, default=None, help="use only the first N clean recordings")
    parser.add_argument("--rates", type=int, nargs="+", default=RATES)
    parser.add_argument("--no-perceptual", action="store_true", help="SI-SDR only (skip PESQ and STOI)")
    parser.add_argument("--no-competitors", action="store_true")
    parser.add_argument("--attenuation-limit-db", type=float, default=100.0)
    parser.add_argument("--bundle", type=Path, help="tune with this model bundle (drives OrluneNC directly)")
    parser.add_argument("--webrtc-level", type=int, default=3, help="noise suppression level 0-4")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING)

    if not _corpus.available():
        print(f"skipped: no audio at {_corpus.AUDIO_DIR}")
        return 0

    systems: dict[str, tuple[_systems.Denoise, set[int] | None]] = {
        "orlune": (_systems.orlune_denoiser(args.attenuation_limit_db, args.bundle), None)
    }
    if not (args.quick or args.no_competitors):
        systems.update(_systems.competitors(args.webrtc_level))
        for name in ("pyrnnoise", "webrtc_noise_gain", "noisereduce"):
            if not _systems.installed(name):
                print(f"note: {name} is not installed; its column is skipped")
    perceptual = not args.no_perceptual

    started = time.perf_counter()
    results: dict[tuple[str, int, float], list[Scores]] = defaultdict(list)
    stride = 3 if args.quick else 1
    for index, mixture in enumerate(_corpus.mixtures(SNRS_DB, args.rates, max_items=args.items)):
        if (index // (len(SNRS_DB) * len(args.rates))) % stride:
            continue
        results[("mixture", mixture.rate, mixture.snr_db)].append(score(mixture.noisy, mixture, perceptual))
        for name, (denoise, rates) in systems.items():
            if rates is None or mixture.rate in rates:
                output = denoise(mixture.noisy, mixture.rate)
                results[(name, mixture.rate, mixture.snr_db)].append(score(output, mixture, perceptual))

    names = ["mixture", *systems]
    for rate in args.rates:
        print_table(rate, results, names)

    print("clean speech alone through orlune: SI-SDR of output against input (dB)")
    clean_scores: dict[int, list[float]] = defaultdict(list)
    denoise = systems["orlune"][0]
    for index, (_, rate, speech) in enumerate(_corpus.clean_items(args.rates, max_items=args.items)):
        if (index // len(args.rates)) % stride == 0:
            clean_scores[rate].append(_metrics.si_sdr(denoise(speech, rate), speech))
    for rate, values in clean_scores.items():
        print(f"  {rate} Hz: mean {np.mean(values):.2f}, min {np.min(values):.2f}")
    print(f"\n{len(results)} cells scored in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
