"""The denoisers the quality benchmark compares, each as noisy -> enhanced, time-aligned."""

from __future__ import annotations

import ctypes
import importlib.util
import math
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from orlune._checks import quantise

from _corpus import FloatArray, resample
from _metrics import align, estimate_delay

Denoise = Callable[[FloatArray, int], FloatArray]

# Competitors' delays are found by cross-correlation within this many milliseconds.
MAX_COMPETITOR_DELAY_MS = 50


class _SessionProcessor:
    """Drives OrluneNC directly with a given bundle, for tuning on another bundle."""

    def __init__(self, attenuation_limit_db: float, bundle: Path) -> None:
        self._limit = attenuation_limit_db
        self._bundle = bundle
        self._session: Any = None

    def initialize(self, sample_rate: int) -> None:
        from orlune._orlune_nc import OrluneNC

        self._session = OrluneNC(
            sample_rate=sample_rate, attenuation_limit_db=self._limit, model_path=self._bundle
        )

    @property
    def frame_length(self) -> int:
        return int(self._session.frame_length)

    def process(self, samples: np.ndarray[Any, np.dtype[np.int16]]) -> np.ndarray[Any, np.dtype[np.int16]]:
        n = self.frame_length
        return np.concatenate([self._session.process_frame(samples[i : i + n]) for i in range(0, len(samples), n)])

    def close(self) -> None:
        self._session.close()


def _processor(attenuation_limit_db: float, bundle: Path | None) -> Any:
    if bundle is not None:
        return _SessionProcessor(attenuation_limit_db, bundle)
    from orlune import OrluneProcessor

    return OrluneProcessor(attenuation_limit_db=attenuation_limit_db)


def orlune_denoiser(attenuation_limit_db: float, bundle: Path | None = None) -> Denoise:
    def denoise(noisy: FloatArray, rate: int) -> FloatArray:
        processor = _processor(attenuation_limit_db, bundle)
        processor.initialize(rate)
        try:
            frame = processor.frame_length
            latency = processor._session.latency_samples
            # Pad so that the tail still inside the engine's delay comes out too.
            frames = math.ceil((len(noisy) + latency) / frame)
            padded = np.zeros(frames * frame, np.int16)
            padded[: len(noisy)] = quantise(noisy)
            output = processor.process(padded).astype(np.float64) / 32768.0
        finally:
            processor.close()
        return align(output, latency, len(noisy))

    return denoise


def _aligned(output: FloatArray, noisy: FloatArray, rate: int) -> FloatArray:
    delay = estimate_delay(output, noisy, MAX_COMPETITOR_DELAY_MS * rate // 1000)
    return align(output, delay, len(noisy))


def rnnoise_denoise(noisy: FloatArray, rate: int) -> FloatArray:
    from pyrnnoise import rnnoise

    at_48k = resample(noisy, rate, rnnoise.SAMPLE_RATE)
    frame = rnnoise.FRAME_SIZE
    frames = math.ceil(len(at_48k) / frame) + 1
    buffer = np.zeros(frames * frame, np.float32)
    buffer[: len(at_48k)] = at_48k * 32768.0
    state = rnnoise.create()
    try:
        for start in range(0, len(buffer), frame):
            chunk = np.ascontiguousarray(buffer[start : start + frame])
            pointer = chunk.ctypes.data_as(ctypes.POINTER(ctypes.c_float))
            rnnoise.lib.rnnoise_process_frame(state, pointer, pointer)
            buffer[start : start + frame] = chunk
    finally:
        rnnoise.destroy(state)
    output = resample(np.clip(buffer, -32768, 32767).astype(np.float64) / 32768.0, rnnoise.SAMPLE_RATE, rate)
    return _aligned(output, noisy, rate)


def webrtc_denoiser(level: int) -> Denoise:
    def denoise(noisy: FloatArray, rate: int) -> FloatArray:
        from webrtc_noise_gain import AudioProcessor

        processor = AudioProcessor(0, level)  # automatic gain control off
        frame = rate // 100
        frames = math.ceil(len(noisy) / frame) + 2
        samples = np.zeros(frames * frame, np.int16)
        samples[: len(noisy)] = quantise(noisy)
        chunks = []
        for start in range(0, len(samples), frame):
            result = processor.Process10ms(samples[start : start + frame].tobytes())
            chunks.append(np.frombuffer(result.audio, np.int16))
        output = np.concatenate(chunks).astype(np.float64) / 32768.0
        return _aligned(output, noisy, rate)

    return denoise


def noisereduce_denoise(noisy: FloatArray, rate: int) -> FloatArray:
    import noisereduce

    return np.asarray(noisereduce.reduce_noise(y=noisy, sr=rate, stationary=False), np.float64)


def installed(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def competitors(webrtc_level: int) -> dict[str, tuple[Denoise, set[int] | None]]:
    """Available competitors with the rates they run at (None: any)."""
    found: dict[str, tuple[Denoise, set[int] | None]] = {}
    if installed("pyrnnoise"):
        found["rnnoise"] = (rnnoise_denoise, None)
    if installed("webrtc_noise_gain"):
        found["webrtc-ns"] = (webrtc_denoiser(webrtc_level), {16000})
    if installed("noisereduce"):
        found["noisereduce"] = (noisereduce_denoise, None)
    return found
