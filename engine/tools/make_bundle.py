#!/usr/bin/env python3
"""Writes the default model bundle and its entry in the packaged index.

Run after changing a parameter:  python engine/tools/make_bundle.py
"""

from __future__ import annotations

import hashlib
import json
import struct
import zlib
from collections.abc import Mapping, Sequence
from pathlib import Path

MAGIC = b"ORLUNEMB"
FORMAT_VERSION = 1
MODEL_ID = "orlune-nc-default"
MODEL_VERSION = "1"

ROOT = Path(__file__).resolve().parents[2]
MODELS_DIR = ROOT / "src" / "orlune" / "resources" / "models"

# Every tunable of the engine; the engine's loader requires exactly these names, one
# value each, within its ranges (engine/src/model.cpp). Smoothing constants are per 10 ms frame.
DEFAULT_PARAMETERS: dict[str, Sequence[float]] = {
    # Window: periodic Hann over this many 10 ms hops, split as analysis hann^e / synthesis hann^(1-e).
    "stft.window_hops": [3.0],
    "stft.window_exponent": [0.5],
    # Noise tracking by posterior speech presence (fixed-prior likelihood ratio).
    "noise.init_frames": [8.0],
    "noise.prior_snr_db": [15.0],
    "noise.prior_speech": [0.5],
    "noise.power_smoothing": [0.8],
    "noise.spp_smoothing": [0.9],
    "noise.spp_cap": [0.99],
    # Minimum statistics over 6 x 25 frames (1.5 s): bias x minimum of the smoothed power
    # caps the estimate, and power `gate_db` above that cap leaves it alone.
    "noise.minimum_smoothing": [0.5],
    "noise.minimum_bias_db": [10.0],
    "noise.gate_db": [4.0],
    "noise.minimum_subwindow_frames": [25.0],
    "noise.minimum_subwindows": [6.0],
    # A-priori SNR: 0 decision-directed with this weight, 1 cepstro-temporal smoothing.
    "snr.estimator": [1.0],
    "snr.dd_weight": [0.98],
    "snr.prior_min_db": [-25.0],
    # Cepstro-temporal smoothing of the ML speech power (floored at ml_floor_db re noise):
    # light below envelope_ms and around the pitch peak of voiced frames, strong elsewhere.
    "cepstral.ml_floor_db": [-20.0],
    "cepstral.envelope_ms": [0.5],
    "cepstral.envelope_smoothing": [0.5],
    "cepstral.smoothing": [0.9],
    "cepstral.pitch_min_hz": [70.0],
    "cepstral.pitch_max_hz": [400.0],
    "cepstral.pitch_threshold": [0.2],  # for harmonics up to pitch_band_hz; scaled for wider bands
    "cepstral.pitch_band_hz": [8000.0],
    "cepstral.pitch_smoothing": [0.2],
    "cepstral.pitch_halfwidth_ms": [0.15],
    "cepstral.bias_db": [0.0],
    # The engine's own lowest gain; a tighter attenuation limit from the caller wins.
    "gain.floor_db": [-20.0],
    # A-priori speech absence from smoothed a-priori SNR.
    "absence.snr_smoothing": [0.7],
    "absence.local_halfwidth_hz": [60.0],
    "absence.global_halfwidth_hz": [500.0],
    "absence.low_db": [-10.0],
    "absence.high_db": [-5.0],
    "absence.peak_min_db": [0.0],
    "absence.peak_max_db": [10.0],
    "absence.max": [0.95],
    # Band whose bins give the frame's speech presence probability.
    "presence.band_low_hz": [300.0],
    "presence.band_high_hz": [4000.0],
}


def encode_bundle(parameters: Mapping[str, Sequence[float]]) -> bytes:
    """The bundle bytes for a table of named float arrays."""
    payload = bytearray()
    for name, values in parameters.items():
        encoded = name.encode("ascii")
        payload += struct.pack("<H", len(encoded)) + encoded
        payload += struct.pack(f"<I{len(values)}f", len(values), *values)
    body = MAGIC + struct.pack("<IIQ", FORMAT_VERSION, len(parameters), len(payload)) + payload
    return body + struct.pack("<I", zlib.crc32(body))


def write_default_bundle() -> Path:
    data = encode_bundle(DEFAULT_PARAMETERS)
    file_name = f"{MODEL_ID}.bin"
    (MODELS_DIR / file_name).write_bytes(data)
    index = {
        "models": [
            {
                "id": MODEL_ID,
                "version": MODEL_VERSION,
                "file": file_name,
                "sha256": hashlib.sha256(data).hexdigest(),
            }
        ]
    }
    (MODELS_DIR / "index.json").write_text(json.dumps(index, indent=2) + "\n")
    return MODELS_DIR / file_name


if __name__ == "__main__":
    print(write_default_bundle())
