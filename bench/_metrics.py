"""Scores of an enhanced signal against its clean reference."""

from __future__ import annotations

import logging

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
logger = logging.getLogger(__name__)


def si_sdr(estimate: FloatArray, reference: FloatArray) -> float:
    """Scale-invariant signal-to-distortion ratio in dB (zero-mean signals)."""
    estimate = estimate - estimate.mean()
    reference = reference - reference.mean()
    scale = np.dot(estimate, reference) / max(np.dot(reference, reference), 1e-20)
    target = scale * reference
    residual = estimate - target
    return float(10.0 * np.log10(max(np.dot(target, target), 1e-20) / max(np.dot(residual, residual), 1e-20)))


def pesq_wb(estimate_16k: FloatArray, reference_16k: FloatArray) -> float:
    from pesq import pesq

    try:
        return float(pesq(16000, reference_16k, estimate_16k, "wb"))
    except Exception as error:  # the scorer refuses some signals (e.g. no utterance found)
        logger.warning("PESQ failed: %s", error)
        return float("nan")


def stoi(estimate_16k: FloatArray, reference_16k: FloatArray) -> float:
    from pystoi import stoi as stoi_score

    return float(stoi_score(reference_16k, estimate_16k, 16000, extended=False))


def estimate_delay(output: FloatArray, source: FloatArray, max_lag: int) -> int:
    """Lag in samples (0..max_lag) at which `output` best matches `source`."""
    length = len(source)
    size = 1 << int(np.ceil(np.log2(2 * length)))
    correlation = np.fft.irfft(np.fft.rfft(output[:length], size) * np.conj(np.fft.rfft(source, size)), size)
    return int(np.argmax(correlation[: max_lag + 1]))


def align(output: FloatArray, delay: int, length: int) -> FloatArray:
    """The output advanced by `delay` samples, cut or zero-padded to `length`."""
    shifted = output[delay : delay + length]
    return np.pad(shifted, (0, length - len(shifted)))
