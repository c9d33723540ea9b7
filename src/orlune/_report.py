"""The picture of `orlune denoise --report`: input and output spectrograms above the
speech probability. matplotlib is an optional extra, imported only here."""

from __future__ import annotations

import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
import soundfile as sf  # type: ignore[import-untyped]
from numpy.typing import NDArray

from ._audio_io import atomic_output

# The colour scale spans this many decibels below the input's loudest bin, and the
# output uses the input's scale, so that what was removed shows as darkening.
_DYNAMIC_RANGE_DB = 90.0


class MatplotlibMissing(RuntimeError):
    pass


class ReportTooShort(ValueError):
    pass


def require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise MatplotlibMissing(
            "--report needs matplotlib; install it with: pip install 'orlune[report]'"
        ) from None


def _mono(path: Path) -> tuple[NDArray[np.float32], int, int]:
    """The file's channels averaged, read a block at a time; its rate and channel count."""
    with sf.SoundFile(str(path)) as audio:
        blocks = []
        # Read in turn: `blocks()` refuses files libsndfile cannot seek in.
        while (block := audio.read(1 << 18, dtype="float32", always_2d=True)).shape[0]:
            blocks.append(block.mean(axis=1, dtype=np.float32))
        mono = np.concatenate(blocks) if blocks else np.empty(0, np.float32)
        return mono, audio.samplerate, audio.channels


def _spectrogram(axes: Any, path: Path, label: str, clim: tuple[float, float] | None) -> Any:
    samples, rate, channels = _mono(path)
    window = 1 << max(6, round(math.log2(0.032 * rate)))
    if samples.size < window:
        raise ReportTooShort(f"too short to report (less than {window / rate * 1000:.0f} ms)")
    with np.errstate(divide="ignore"):  # digital silence has no level in dB
        spectrum, _, _, image = axes.specgram(
            samples, NFFT=window, Fs=rate, noverlap=window // 2, cmap="magma", scale="dB"
        )
    if clim is None:
        # Floored so that silence does not stretch the scale to hundreds of dB.
        loudest = 10 * math.log10(max(float(np.max(spectrum, initial=0.0)), 1e-12))
        clim = (loudest - _DYNAMIC_RANGE_DB, loudest)
    image.set_clim(*clim)
    axes.set_xlim(0.0, max(samples.size / rate, 1e-3))
    axes.set_ylabel("frequency (Hz)")
    mix = f" (mean of its {channels} channels)" if channels > 1 else ""
    axes.set_title(f"{label}: {path.name}{mix}", loc="left", fontsize="medium")
    return image


def write_report(
    report: Path,
    source: Path,
    target: Path,
    trace: Sequence[float],
    *,
    frame_seconds: float,
    delay_seconds: float,
) -> None:
    """Saves the PNG picture atomically. `trace` holds the speech probability of each
    engine frame, `frame_seconds` long, from an engine `delay_seconds` behind its input."""
    require_matplotlib()
    from matplotlib.figure import Figure

    figure = Figure(figsize=(11, 8), layout="constrained")
    top, middle, bottom = figure.subplots(
        3, 1, sharex=True, gridspec_kw={"height_ratios": [3, 3, 1.3]}
    )
    image = _spectrogram(top, source, "input", None)
    _spectrogram(middle, target, "output", image.get_clim())
    figure.colorbar(image, ax=[top, middle], label="power (dB)")

    # A frame's probability comes from the audio the engine analysed for it, which
    # ends with the frame and reaches back about the engine's delay: plot it at the middle.
    times = (np.arange(len(trace)) + 1) * frame_seconds - delay_seconds / 2
    bottom.plot(times, np.asarray(trace, dtype=np.float64), linewidth=0.8)
    bottom.set_ylim(-0.02, 1.02)
    bottom.set_ylabel("speech\nprobability")
    bottom.set_xlabel("time (s)")
    with atomic_output(report) as descriptor, open(descriptor, "wb", closefd=False) as file:
        figure.savefig(file, format="png", dpi=100)
