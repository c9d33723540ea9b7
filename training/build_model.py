#!/usr/bin/env python3
"""Rebuilds the packaged learned model from ../shared/training, end to end.

    pip install ".[train]"
    python training/build_model.py

Decodes the training recordings (cached under build/training-cache), trains the network on
fresh mixtures every step (seeded), keeps the running average of its weights that did best
on held-out speakers, refines it in a shorter finishing stage (muted openings, steady
coloured noise), writes src/orlune/resources/models/orlune-nc-learned.bin, registers it in
the package index (and, as a copy, as the packaged default orlune-nc-default) and records
how it was made in the bundle's metadata and in engine/README.md. Alone on the 2-core
machine, the main stage's 10000 steps took 45 minutes (0.27 s a step) and the finishing
stage's 1500 steps 7: 52 minutes in all (a second training beside it doubles that).

    python training/build_model.py --finish-from src/orlune/resources/models/orlune-nc-learned.bin

runs the finishing stage alone, from the network of an existing bundle, or from the main
stage's best network, which a build keeps in build/training-cache/checkpoint-seed1-main.pt.
--conv and --hidden size the network (the engine runs any size; bench/speed.py times it).
"""

from __future__ import annotations

import argparse
import shlex
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from orlune_train import corpus, export, train  # noqa: E402
from orlune_train.model import Network  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
DEFAULT_DATA = corpus.default_root()


def metadata(
    network: Network, summary: dict[str, str], args: argparse.Namespace, data: corpus.Corpus, commit: str
) -> dict[str, str]:
    layers = network.export()
    described = " -> ".join(
        f"{layer.kind}({'x'.join(map(str, layer.weights.get('weight', layer.weights.get('weight_hh')).shape))}, "
        f"{layer.activation})"
        for layer in layers
    )
    command = "python training/build_model.py" + "".join(
        f" {shlex.quote(a)}" for a in sys.argv[1:]
    )
    return {
        "training.command": command,
        "training.seed": str(args.seed),
        "training.manifest_sha256": data.manifest_sha256,
        "training.code_commit": commit,
        "training.corpora": "; ".join(data.corpora),
        "training.rate_hz": str(corpus.TRAINING_RATE),
        "network.layers": described,
        "network.weights": str(network.parameter_count()),
        "network.mmacs_per_second": f"{network.multiply_adds_per_frame() * 100 / 1e6:.1f}",
        **summary,
    }


def main() -> int:
    defaults = train.Settings()
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="the training recordings")
    parser.add_argument("--seed", type=int, default=defaults.seed)
    parser.add_argument("--steps", type=int, default=defaults.steps, help="optimiser steps (batches)")
    parser.add_argument("--threads", type=int, default=defaults.threads, help="torch threads")
    parser.add_argument("--conv", type=int, default=defaults.conv, help="convolution channels")
    parser.add_argument("--hidden", type=int, default=defaults.hidden, help="units of each GRU")
    parser.add_argument("--cache", type=Path, default=ROOT / "build" / "training-cache")
    parser.add_argument("--out", type=Path, default=export.BUNDLE_PATH, help="bundle to write")
    parser.add_argument("--checkpoint", type=Path, help="export this saved network instead of training")
    parser.add_argument(
        "--finish-from",
        type=Path,
        help="skip the main stage: run only the finishing stage from this bundle's or checkpoint's network",
    )
    parser.add_argument(
        "--no-register", action="store_true", help="write the bundle only: no package index or README change"
    )
    args = parser.parse_args()
    started = time.monotonic()
    commit = export.code_commit()  # before anything can change the tree

    print(f"corpus: {args.data}", flush=True)
    data = corpus.load(args.data, args.cache)
    print(
        f"  {len(data.train_speech)} training and {len(data.validation_speech)} held-out speech clips, "
        f"{len(data.noise)} noises; manifest SHA-256 {data.manifest_sha256}",
        flush=True,
    )
    settings = train.Settings(
        seed=args.seed, steps=args.steps, threads=args.threads, conv=args.conv, hidden=args.hidden
    )
    checkpoint = args.cache / f"checkpoint-seed{args.seed}.pt"
    if args.checkpoint:
        # Its summary keeps the training time up to the saved step.
        network, summary = train.load_checkpoint(args.checkpoint)
    elif args.finish_from:
        if args.finish_from.suffix == ".pt":
            network, summary = train.load_checkpoint(args.finish_from)
            summary["training.main_stage"] = f"the network saved in {args.finish_from.name}"
        else:
            layers, source = export.read_bundle(args.finish_from)
            if "training.command" not in source or "training.code_commit" not in source:
                parser.error(f"{args.finish_from}: no training record in its metadata (not written by this script)")
            network = Network.from_export(layers, *train.feature_statistics(data, settings))
            # The main stage's record is the source bundle's.
            stage = ("steps", "best_step", "validation_loss", "clips_per_step", "clip_seconds", "minutes")
            summary = {f"training.{key}": source[f"training.{key}"] for key in stage if f"training.{key}" in source}
            summary["training.main_stage"] = f"{source['training.command']} at commit {source['training.code_commit']}"
        summary |= train.finish(network, data, settings)
        train.save_checkpoint(checkpoint, network, summary)
    else:
        network, summary = train.train(data, settings, checkpoint=checkpoint)
    info = metadata(network, summary, args, data, commit)
    path = export.write_bundle(network.export(), args.out, info)
    print(f"wrote {path}", flush=True)
    if not args.no_register:
        export.register(path)
        export.update_readme(info)
        print(
            f"registered {export.MODEL_ID} and {export.DEFAULT_MODEL_ID}, version {export.MODEL_VERSION}; "
            f"updated {export.README_PATH}"
        )
    print(f"done in {(time.monotonic() - started) / 60:.1f} min", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
