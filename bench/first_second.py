#!/usr/bin/env python3
"""How a model bundle behaves in the first second of a stream.

For each clean recording of ../shared/audio (speech moved to start 50 ms into the stream,
no noise): the level of the first 100 ms of speech out against in. For each noise
recording alone (-40 dBFS): the attenuation over time from the stream start and the
speech probability the engine reports on those noise-only frames after 0.5 s; and the
attenuation of the same noises when they start after 1 s of digital silence (a muted input).
And a held harmonic voice (a sung note: 1/k harmonics, 2 % vibrato) at several pitches,
starting 50 ms into the stream or at its first sample: its first 100 ms and its level once
held for half a second, out against in. And steady pink and brown noise, several draws of
each: how far each is brought down from 0.5 s on and the speech probability reported on it.

    python bench/first_second.py                       # the packaged default bundle
    python bench/first_second.py --bundle a.bin --bundle b.bin --rates 16000 48000
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _corpus  # noqa: E402

ONSET_S = 0.05
NOISE_LEVEL_DBFS = -40.0
SECONDS = 4.0
MUTED_S = 1.0
HELD_PITCHES_HZ = (110.0, 200.0, 240.0, 300.0, 350.0)
STEADY_DRAWS = 6


def run(bundle: Path, rate: int, signal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(output aligned with the input, speech probability per frame)."""
    from orlune._orlune_nc import OrluneNC

    session: Any = OrluneNC(sample_rate=rate, attenuation_limit_db=100.0, model_path=bundle)
    try:
        n, delay = session.frame_length, session.latency_samples
        frames = -(-(len(signal) + delay) // n)
        padded = np.zeros(frames * n, np.int16)
        padded[: len(signal)] = np.clip(np.round(signal * 32768), -32768, 32767)
        out, presence = [], []
        for i in range(frames):
            out.append(session.process_frame(padded[i * n : (i + 1) * n]))
            presence.append(float(session.speech_probability))
    finally:
        session.close()
    output = np.concatenate(out).astype(np.float64) / 32768.0
    return output[delay : delay + len(signal)], np.array(presence)


def level_db(x: np.ndarray) -> float:
    return float(10 * np.log10(np.mean(x**2) + 1e-20))


def onset_changes(bundle: Path, rate: int) -> list[float]:
    changes = []
    for _, _, speech in _corpus.clean_items([rate]):
        frame = rate // 100
        energy = np.array([np.mean(speech[i : i + frame] ** 2) for i in range(0, len(speech) - frame, frame)])
        first = int(np.argmax(energy > energy.max() * 1e-3)) * frame
        signal = np.concatenate([np.zeros(int(ONSET_S * rate)), speech[first:]])
        output, _ = run(bundle, rate, signal)
        window = slice(int(ONSET_S * rate), int((ONSET_S + 0.1) * rate))
        changes.append(level_db(output[window]) - level_db(signal[window]))
    return changes


def noise_behaviour(bundle: Path, rate: int, silence_s: float = 0.0) -> tuple[np.ndarray, list[float]]:
    """Attenuation (dB) per 100 ms over the first SECONDS of noise (after `silence_s` of
    exact zeros), averaged over the noises, and every noise-only frame's speech probability
    from 0.5 s into the noise."""
    attenuation, presence_after = [], []
    lead = int(silence_s * rate)
    for path in sorted((_corpus.AUDIO_DIR / "noise").glob("*.wav")):
        noise, noise_rate = _corpus._read(path)
        noise = _corpus.resample(noise, noise_rate, rate)[: int(SECONDS * rate)]
        noise *= 10 ** (NOISE_LEVEL_DBFS / 20) / np.sqrt(np.mean(noise**2))
        output, presence = run(bundle, rate, np.concatenate([np.zeros(lead), noise]))
        output, presence = output[lead:], presence[lead // (rate // 100) :]
        step = rate // 10
        attenuation.append(
            [level_db(noise[i : i + step]) - level_db(output[i : i + step]) for i in range(0, len(noise) - step + 1, step)]
        )
        presence_after.extend(presence[50 : len(noise) // (rate // 100)])
    return np.mean(attenuation, axis=0), presence_after


def held_note(rate: int, pitch: float, start_s: float, seconds: float = 2.0) -> np.ndarray:
    """A sung note from `start_s`: 1/k harmonics below 7 kHz, 2 % vibrato at 5 Hz."""
    t = np.arange(int(seconds * rate)) / rate
    phase = 2 * np.pi * np.cumsum(pitch * (1 + 0.02 * np.sin(2 * np.pi * 5.0 * t))) / rate
    note = sum(np.sin(k * phase + k) / k for k in range(1, 30) if pitch * k < min(7000.0, rate / 2))
    return 0.05 * note * (t >= start_s)


def held_note_changes(bundle: Path, rate: int, start_s: float) -> list[tuple[float, float]]:
    """Per pitch: (first 100 ms, from 0.5 s into the note to its end), out against in, dB."""
    changes = []
    for pitch in HELD_PITCHES_HZ:
        signal = held_note(rate, pitch, start_s)
        output, _ = run(bundle, rate, signal)
        first = int(start_s * rate)
        windows = (slice(first, first + rate // 10), slice(first + rate // 2, len(signal)))
        opening, held = (level_db(output[w]) - level_db(signal[w]) for w in windows)
        changes.append((opening, held))
    return changes


def power_law_noise(rate: int, exponent: float, seed: int) -> np.ndarray:
    """SECONDS of noise at -20 dBFS with a 1/f^exponent spectrum down to the lowest bin: brown
    noise drawn this way keeps most of its energy below 20 Hz, as rumble does, and how much
    varies from draw to draw."""
    length = int(SECONDS * rate)
    spectrum = np.fft.rfft(np.random.default_rng(seed).standard_normal(length))
    spectrum[1:] /= np.fft.rfftfreq(length, 1.0 / rate)[1:] ** (exponent / 2)
    spectrum[0] = 0.0
    noise = np.fft.irfft(spectrum, length)
    return noise * 0.1 / np.sqrt(np.mean(noise**2))


def steady_noise(bundle: Path, rate: int, exponent: float) -> tuple[list[float], list[float]]:
    """Per draw: attenuation from 0.5 s on (dB) and the mean speech probability from then."""
    attenuation, presence = [], []
    for seed in range(STEADY_DRAWS):
        noise = power_law_noise(rate, exponent, seed)
        output, probability = run(bundle, rate, noise)
        attenuation.append(level_db(noise[rate // 2 :]) - level_db(output[rate // 2 :]))
        presence.append(float(np.mean(probability[50:])))
    return attenuation, presence


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bundle", type=Path, action="append", help="model bundle (repeatable)")
    parser.add_argument("--rates", type=int, nargs="+", default=[16000, 48000])
    parser.add_argument("--audio", type=Path, help=f"the evaluation recordings (default {_corpus.AUDIO_DIR})")
    args = parser.parse_args()
    if args.audio is not None:
        _corpus.AUDIO_DIR = args.audio
    if not _corpus.available():
        print(f"skipped: no audio at {_corpus.AUDIO_DIR}")
        return 0
    import orlune

    bundles = args.bundle or [Path(orlune.__file__).parent / "resources" / "models" / "orlune-nc-default.bin"]
    for bundle in bundles:
        for rate in args.rates:
            onset = onset_changes(bundle, rate)
            curve, presence = noise_behaviour(bundle, rate)
            after_mute, _ = noise_behaviour(bundle, rate, MUTED_S)
            print(f"{bundle.name} at {rate} Hz")
            print(f"  onset at 50 ms, first 100 ms of speech out vs in: mean {np.mean(onset):+.2f} dB, "
                  f"lowest {min(onset):+.2f} dB")
            print("  noise alone, attenuation per 100 ms (dB): "
                  + " ".join(f"{v:.0f}" for v in curve[:10]) + f" ... steady (2-4 s) {np.mean(curve[20:]):.1f}")
            print(f"  speech probability on noise-only frames after 0.5 s: mean {np.mean(presence):.3f}, "
                  f"95th percentile {np.percentile(presence, 95):.3f}")
            print(f"  noise after {MUTED_S:g} s of digital silence, attenuation per 500 ms (dB): "
                  + " ".join(f"{np.mean(after_mute[i : i + 5]):.0f}" for i in range(0, 40, 5)))
            for exponent, name in ((1.0, "pink"), (2.0, "brown")):
                attenuation, presence = steady_noise(bundle, rate, exponent)
                print(f"  steady {name} noise, {STEADY_DRAWS} draws: attenuation from 0.5 s lowest "
                      f"{min(attenuation):.1f} dB, median {np.median(attenuation):.1f} dB; "
                      f"speech probability highest {max(presence):.2f}")
            for start_s in (ONSET_S, 0.0):
                held = held_note_changes(bundle, rate, start_s)
                print(f"  held note from {start_s * 1000:g} ms, first 100 ms / held (dB): "
                      + "  ".join(f"{p:g} Hz {a:+.1f}/{b:+.1f}" for p, (a, b) in zip(HELD_PITCHES_HZ, held)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
