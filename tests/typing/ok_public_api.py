"""Uses the public API as the documentation shows; mypy --strict must accept it."""

from __future__ import annotations

from pathlib import Path

import numpy as np
from numpy.typing import NDArray

import orlune
from orlune import OrluneProcessor, StreamDenoiser, denoise
from orlune._orlune_nc import OrluneNC


def clean_pcm(pcm: NDArray[np.int16]) -> NDArray[np.int16]:
    return denoise(pcm, 16000, attenuation_limit_db=24.0)


def clean_float(audio: NDArray[np.float32]) -> NDArray[np.float32]:
    return orlune.denoise(audio, 44100, model="orlune-nc-classic")


def model_ids() -> dict[str, float | None]:
    try:
        denoise(np.zeros(10, dtype=np.int16), 16000, model="orlune-nc-nope")
    except orlune.UnknownModelError as error:
        assert isinstance(error, ValueError)
    return {model.model_id: model.max_suppression_db for model in orlune.packaged_models()}


def clean_inline() -> NDArray[np.float32]:
    cleaned: NDArray[np.float32] = orlune.denoise(np.zeros(10, dtype=np.float32), 48000)
    return cleaned


def live(chunks: list[NDArray[np.float32]]) -> tuple[list[NDArray[np.float32]], int, float]:
    with StreamDenoiser(48000, channels=2, model="orlune-nc-default") as stream:
        out = [stream.process(chunk) for chunk in chunks]
        out.append(stream.flush())
        return out, stream.latency_samples, stream.speech_probability


def blocks(pcm: NDArray[np.int16]) -> NDArray[np.int16]:
    processor = OrluneProcessor(attenuation_limit_db=12.0)
    processor.initialize(48000)
    try:
        return processor.process(pcm[: processor.frame_length])
    finally:
        processor.close()


def session_frame(bundle: Path) -> tuple[NDArray[np.int16], float]:
    session = OrluneNC(sample_rate=48000, attenuation_limit_db=100.0, model_path=bundle)
    frame = session.process_frame(np.zeros(session.frame_length, dtype=np.int16))
    session.close()
    return frame, session.speech_probability
