#!/usr/bin/env python3
"""Speech quality of the engine against the unprocessed mixture and open denoisers.

Each clean recording of ../shared/audio, at -25 dBFS, is mixed with one noise recording
(seeded offset, looped when shorter) at each SNR, resampled to 16 and 48 kHz and run
through OrluneProcessor; the engine's constant delay is removed before scoring.
Prints SI-SDR improvement, PESQ wide band (at 16 kHz) and STOI per SNR and overall.

    python bench/quality.py            # the full run
    python bench/quality.py --quick    # a third of the items, orlune and the mixture only
    python bench/quality.py --also learned=src/orlune/resources/models/orlune-nc-learned.bin
                                       # another bundle scored beside the packaged default
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


Results = dict[tuple[str, int, float], list[Scores]]


def cell(results: Results, system: str, rate: int, snr: float | None, metric: str, relative: bool) -> float:
    """Mean of `metric` for one system over the items at one SNR (None: every SNR);
    `relative` subtracts the mixture's score item by item."""
    values = [
        s[metric] - (base[metric] if relative else 0.0)
        for (name, r, snr_db), runs in results.items()
        if name == system and r == rate and (snr is None or snr_db == snr) and metric in runs[0]
        for s, base in zip(runs, results[("mixture", r, snr_db)])
    ]
    return mean(values)


def print_table(rate: int, results: Results, systems: list[str]) -> None:
    metrics = [m for m in ("si_sdr", "pesq", "stoi") if any(m in s for r in results.values() for s in r)]
    labels = {"si_sdr": "SI-SDRi dB", "pesq": "PESQ-WB", "stoi": "STOI"}
    print(f"\n=== {rate} Hz === (SI-SDR: improvement in dB; the mixture column gives its own SI-SDR)")
    present = [s for s in systems if any(key[0] == s and key[1] == rate for key in results)]
    for metric in metrics:
        print(f"{labels[metric]:<12}" + "".join(f"{name:>13}" for name in present))
        for snr in [*SNRS_DB, None]:
            row = f"{'mean' if snr is None else f'{snr:+.0f} dB':<12}"
            for name in present:
                relative = metric == "si_sdr" and name != "mixture"
                row += f"{cell(results, name, rate, snr, metric, relative):>13.3f}"
            print(row)
        print()


def print_targets(results: Results, clean_scores: dict[int, list[float]], system: str = "orlune") -> None:
    """The engine's targets on this benchmark, each with its figure and verdict."""
    print(f"targets ({system}):")

    def report(label: str, value: float, passed: bool) -> None:
        print(f"  {'ok  ' if passed else 'MISS'} {label}: {value:.3f}")

    rates = sorted({rate for (_, rate, _) in results})
    perceptual = any("pesq" in s for runs in results.values() for s in runs)
    for rate in rates:
        mean_gain = cell(results, system, rate, None, "si_sdr", True)
        report(f"{rate} Hz mean SI-SDR improvement >= 2.5 dB", mean_gain, mean_gain >= 2.5)
        worst = min(cell(results, system, rate, snr, "si_sdr", True) for snr in SNRS_DB)
        report(f"{rate} Hz lowest per-SNR SI-SDR improvement >= 0 dB", worst, worst >= 0.0)
        if rate in clean_scores:
            clean = float(np.mean(clean_scores[rate]))
            report(f"{rate} Hz clean speech SI-SDR (mean) >= 25 dB", clean, clean >= 25.0)
        if perceptual:
            stoi_margin = min(
                cell(results, system, rate, snr, "stoi", True) for snr in SNRS_DB
            )
            report(f"{rate} Hz lowest per-SNR STOI change >= -0.01", stoi_margin, stoi_margin >= -0.01)
            pesq_gain = mean([cell(results, system, rate, snr, "pesq", True) for snr in (0.0, 5.0, 10.0)])
            report(f"{rate} Hz PESQ-WB improvement over 0/5/10 dB >= 0.15", pesq_gain, pesq_gain >= 0.15)
        for rival, label in (("webrtc-ns", ""), ("rnnoise", "(stretch) ")):
            if (rival, rate, SNRS_DB[0]) not in results:
                continue
            lead = min(
                cell(results, system, rate, snr, "si_sdr", True)
                - cell(results, rival, rate, snr, "si_sdr", True)
                for snr in SNRS_DB
            )
            report(f"{rate} Hz {label}lowest per-SNR SI-SDRi lead over {rival} >= 0 dB", lead, lead >= 0.0)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="every third item, orlune and mixture only")
    parser.add_argument("--items", type=int, default=None, help="use only the first N clean recordings")
    parser.add_argument("--rates", type=int, nargs="+", default=RATES)
    parser.add_argument("--no-perceptual", action="store_true", help="SI-SDR only (skip PESQ and STOI)")
    parser.add_argument("--no-competitors", action="store_true")
    parser.add_argument("--attenuation-limit-db", type=float, default=100.0)
    parser.add_argument("--seed", type=int, default=2024, help="seed of the noise excerpts' offsets")
    parser.add_argument("--noise-rotation", type=int, default=0, help="pair the items with other noises")
    parser.add_argument("--bundle", type=Path, help="tune with this model bundle (drives OrluneNC directly)")
    parser.add_argument(
        "--also", action="append", default=[], metavar="NAME=BUNDLE",
        help="score this model bundle too, as column NAME (repeatable)",
    )
    parser.add_argument(
        "--competitor", action="append", metavar="NAME", help="run only these competitors (rnnoise, webrtc-ns, noisereduce)"
    )
    parser.add_argument("--audio", type=Path, help=f"the evaluation recordings (default {_corpus.AUDIO_DIR})")
    parser.add_argument("--webrtc-level", type=int, default=3, help="noise suppression level 0-4")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING)
    if args.audio is not None:
        _corpus.AUDIO_DIR = args.audio
    extra: dict[str, Path] = {}
    for item in args.also:
        name, sep, bundle = item.partition("=")
        if not sep or not name or name in ("orlune", "mixture"):
            parser.error(f"--also takes NAME=BUNDLE with a new name, not {item!r}")
        extra[name] = Path(bundle)

    if not _corpus.available():
        print(f"skipped: no audio at {_corpus.AUDIO_DIR}")
        return 0

    systems: dict[str, tuple[_systems.Denoise, set[int] | None]] = {
        "orlune": (_systems.orlune_denoiser(args.attenuation_limit_db, args.bundle), None)
    }
    for name, bundle in extra.items():
        systems[name] = (_systems.orlune_denoiser(args.attenuation_limit_db, bundle), None)
    if not (args.quick or args.no_competitors):
        found = _systems.competitors(args.webrtc_level)
        systems.update({k: v for k, v in found.items() if args.competitor is None or k in args.competitor})
        for name in ("pyrnnoise", "webrtc_noise_gain", "noisereduce"):
            if not _systems.installed(name):
                print(f"note: {name} is not installed; its column is skipped")
    perceptual = not args.no_perceptual

    started = time.perf_counter()
    results: Results = defaultdict(list)
    stride = 3 if args.quick else 1
    corpus = _corpus.mixtures(
        SNRS_DB, args.rates, max_items=args.items, seed=args.seed, noise_rotation=args.noise_rotation
    )
    for index, mixture in enumerate(corpus):
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

    for system in ["orlune", *extra]:
        print(f"clean speech alone through {system}: SI-SDR of output against input (dB)")
        clean_scores: dict[int, list[float]] = defaultdict(list)
        denoise = systems[system][0]
        for index, (_, rate, speech) in enumerate(_corpus.clean_items(args.rates, max_items=args.items)):
            if (index // len(args.rates)) % stride == 0:
                clean_scores[rate].append(_metrics.si_sdr(denoise(speech, rate), speech))
        for rate, values in clean_scores.items():
            print(f"  {rate} Hz: mean {np.mean(values):.2f}, min {np.min(values):.2f}")
        print()
        print_targets(results, clean_scores, system)
        print()
    print(f"\n{len(results)} cells scored in {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
