"""orlune.denoise: layout, dtype and alignment of the output, and its refusals."""

from __future__ import annotations

import math

import numpy as np
import pytest

import orlune
from tests.delaying_engine import DelayingProcessor, as_pcm16, delaying_engine, speech_like

__all__ = ["delaying_engine"]


@pytest.mark.parametrize("frames", [0, 1, 159, 160, 161, 4801])
@pytest.mark.parametrize("channels", [None, 1, 2])
@pytest.mark.parametrize("dtype", [np.int16, np.float32, np.float64])
def test_delay_is_compensated_exactly_at_engine_rates(
    delaying_engine: type[DelayingProcessor], frames: int, channels: int | None, dtype: type
) -> None:
    audio = as_pcm16(speech_like(frames, 16000, channels or 1))
    if channels is None:
        audio = audio[:, 0]
    if dtype is not np.int16:
        audio = (audio / 32768).astype(dtype)

    out = orlune.denoise(audio, 16000)

    assert out.dtype == audio.dtype and out.shape == audio.shape
    np.testing.assert_array_equal(out, audio)
    assert delaying_engine.instances and all(p.closed for p in delaying_engine.instances)


@pytest.mark.parametrize("rate", [11025, 12000, 96000])
@pytest.mark.parametrize("dtype", [np.int16, np.float32])
def test_resampled_rates_come_back_aligned(
    delaying_engine: type[DelayingProcessor], rate: int, dtype: type
) -> None:
    clean = speech_like(rate // 2 + 7, rate, 2, noise=0.0)
    audio = as_pcm16(clean) if dtype is np.int16 else clean.astype(dtype)

    out = orlune.denoise(audio, rate)

    assert out.dtype == audio.dtype and out.shape == audio.shape
    # Away from the edges the round trip through the engine rate must give the tone
    # back in place: a shift of one sample would leave an rms error of 0.02 or more.
    middle = slice(rate // 20, -rate // 20)
    scale = 32768 if dtype is np.int16 else 1
    error = out[middle] / scale - audio[middle] / scale
    assert math.sqrt(np.mean(error**2)) < 0.003


def test_real_engine_output_is_aligned_with_its_input() -> None:
    rate = 44100
    rng = np.random.default_rng(3)
    audio = np.zeros(rate, dtype=np.float32)
    for start in (5000, 21000, 33000):  # bursts with sharp onsets, easy to locate
        audio[start : start + 2000] = 0.2 * rng.standard_normal(2000)

    out = orlune.denoise(audio, rate, attenuation_limit_db=6.0)

    correlation = np.correlate(out[2000:-2000], audio, mode="valid")
    assert int(np.argmax(np.abs(correlation))) == 2000


def test_non_finite_and_out_of_range_floats_are_counted_apart_in_one_warning() -> None:
    audio = np.array([0.5, 1.5, -2.0, np.nan, np.inf, -np.inf, 0.5, -np.inf] * 400, np.float32)

    with pytest.warns(orlune.ClippedInputWarning) as caught:
        out = orlune.denoise(audio, 16000, attenuation_limit_db=0.0)

    assert [str(w.message) for w in caught] == [
        "float input samples changed: 800 beyond +-1.0 clipped to full scale,"
        " 400 NaN set to 0, 1200 infinite set to 0"
    ]
    # With no attenuation the engine gives its input back: infinities come out silent.
    np.testing.assert_allclose(out[4::8], 0.0, atol=1e-3)
    np.testing.assert_allclose(out[1::8], 1.0, atol=1e-3)


@pytest.mark.parametrize(
    ("audio", "rate", "error"),
    [
        (np.zeros(100, dtype=np.int32), 16000, TypeError),
        (np.zeros(100, dtype=np.complex64), 16000, TypeError),
        ([0.0] * 100, 16000, TypeError),
        (np.zeros((10, 2, 2), dtype=np.int16), 16000, ValueError),
        (np.zeros((10, 0), dtype=np.int16), 16000, ValueError),
        (np.zeros(100, dtype=np.int16), 0, ValueError),
        (np.zeros(100, dtype=np.int16), 16000.0, ValueError),
    ],
)
def test_bad_arguments_are_refused(audio: object, rate: object, error: type[Exception]) -> None:
    with pytest.raises(error):
        orlune.denoise(audio, rate)  # type: ignore[call-overload]


def test_importing_orlune_loads_no_extension_module() -> None:
    import subprocess
    import sys

    code = "import sys, orlune; print(sorted(m for m in sys.modules if m.startswith('orlune')))"
    loaded = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    assert loaded.stdout.strip() == "['orlune', 'orlune._version']"
    assert callable(orlune.denoise) and orlune.StreamDenoiser.__name__ == "StreamDenoiser"


@pytest.mark.parametrize(
    ("rate", "channels", "limit", "match"),
    [
        (2**53, 1, 100.0, "Hz from 1000 to 768000, not 9007199254740992"),
        (999, 1, 100.0, "Hz from 1000 to 768000"),
        (768001, 1, 100.0, "Hz from 1000 to 768000"),
        (48000, 65, 100.0, "channels must be a whole number from 1 to 64, not 65"),
        (48000, 1, "24", "decibels, 0 or more, not '24'"),
        (48000, 1, math.nan, "decibels, 0 or more, not nan"),
    ],
)
def test_out_of_range_settings_are_refused_at_once(
    rate: int, channels: int, limit: object, match: str
) -> None:
    with pytest.raises(ValueError, match=match):
        orlune.StreamDenoiser(rate, channels, attenuation_limit_db=limit)  # type: ignore[arg-type]
    audio = np.zeros((10, channels), np.float32)
    with pytest.raises(ValueError, match=match):
        orlune.denoise(audio, rate, attenuation_limit_db=limit)  # type: ignore[arg-type]


def test_channels_first_audio_is_refused_with_a_hint() -> None:
    with pytest.raises(ValueError, match=r"\(2, 144000\) looks channels-first.*audio\.T"):
        orlune.denoise(np.zeros((2, 144000), np.float32), 48000)
