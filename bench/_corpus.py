"""The benchmark's noisy mixtures, built from the shared clean and noise recordings."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
import soundfile as sf
import soxr
from orlune._checks import PCM_SCALE, quantise

FloatArray = npt.NDArray[np.float64]

AUDIO_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "audio"
SPEECH_LEVEL_DBFS = -25.0


@dataclass(frozen=True)
class Mixture:
    item: str
    noise: str
    snr_db: float
    rate: int
    clean: FloatArray  # reference speech, full scale 1.0
    noisy: FloatArray  # speech plus noise, quantised to 16 bits


def _read(path: Path) -> tuple[FloatArray, int]:
    samples, rate = sf.read(path, dtype="float64", always_2d=True)
    return samples.mean(axis=1), int(rate)


def resample(samples: FloatArray, source_rate: int, target_rate: int) -> FloatArray:
    if source_rate == target_rate:
        return samples
    return np.asarray(soxr.resample(samples, source_rate, target_rate, quality="VHQ"), np.float64)


def power(samples: FloatArray) -> float:
    return float(np.mean(samples**2))


def on_16_bit_grid(samples: FloatArray) -> FloatArray:
    """`samples` as they come back from 16-bit PCM: quantised as orlune quantises."""
    return quantise(samples).astype(np.float64) / PCM_SCALE


def noise_excerpt(noise: FloatArray, length: int, rng: np.random.Generator) -> FloatArray:
    """`length` samples from a seeded offset, looping the recording when it is shorter."""
    offset = int(rng.integers(0, len(noise)))
    return np.resize(np.roll(noise, -offset), length)


def available() -> bool:
    return (AUDIO_DIR / "clean").is_dir() and (AUDIO_DIR / "noise").is_dir()


def mixtures(
    snrs_db: list[float],
    rates: list[int],
    *,
    max_items: int | None = None,
    seed: int = 2024,
    noise_rotation: int = 0,
) -> Iterator[Mixture]:
    """Each clean recording (at -25 dBFS) with one noise, cycled through the noise set
    (starting `noise_rotation` places on), from an offset drawn with `seed`.

    Mixing happens at the speech recording's own rate; the reference and the mixture
    are then resampled to each benchmark rate.
    """
    clean_files = sorted((AUDIO_DIR / "clean").glob("*.wav"))[:max_items]
    noise_files = sorted((AUDIO_DIR / "noise").glob("*.wav"))
    for index, clean_path in enumerate(clean_files):
        speech, speech_rate = _read(clean_path)
        speech *= 10.0 ** (SPEECH_LEVEL_DBFS / 20.0) / np.sqrt(power(speech))
        noise_path = noise_files[(index + noise_rotation) % len(noise_files)]
        noise, noise_rate = _read(noise_path)
        noise = noise_excerpt(
            resample(noise, noise_rate, speech_rate), len(speech), np.random.default_rng(seed + index)
        )
        for snr_db in snrs_db:
            scaled = noise * np.sqrt(power(speech) / power(noise) / 10.0 ** (snr_db / 10.0))
            noisy = speech + scaled
            for rate in rates:
                yield Mixture(
                    item=clean_path.stem,
                    noise=noise_path.stem,
                    snr_db=snr_db,
                    rate=rate,
                    clean=resample(speech, speech_rate, rate),
                    noisy=on_16_bit_grid(resample(noisy, speech_rate, rate)),
                )


def clean_items(rates: list[int], *, max_items: int | None = None) -> Iterator[tuple[str, int, FloatArray]]:
    """Each clean recording at -25 dBFS, quantised, at each benchmark rate."""
    for clean_path in sorted((AUDIO_DIR / "clean").glob("*.wav"))[:max_items]:
        speech, speech_rate = _read(clean_path)
        speech *= 10.0 ** (SPEECH_LEVEL_DBFS / 20.0) / np.sqrt(power(speech))
        for rate in rates:
            yield clean_path.stem, rate, on_16_bit_grid(resample(speech, speech_rate, rate))
