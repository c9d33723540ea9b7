"""Fresh training mixtures: speech and noise crops, synthetic noises, rooms, EQ, levels."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from scipy import signal as sps

from .corpus import TRAINING_RATE, Audio

RATE = TRAINING_RATE


@dataclass(frozen=True)
class Recipe:
    """Probabilities and ranges of the mixture generator."""

    snr_db: tuple[float, float] = (-5.0, 20.0)
    # Under recorded noise (when it is the first noise), if set: the recordings vary and
    # can go lower than the steady synthetic noises, which at very low SNR teach the
    # network that a steady sound is a voice.
    recorded_snr_db: tuple[float, float] | None = None
    speech_level_dbfs: tuple[float, float] = (-45.0, -12.0)
    max_lead_s: float = 1.0
    p_lead: float = 0.75  # a noise-only stretch before the speech
    p_early_onset: float = 0.5  # of the rest: speech from within the first 50 ms
    p_synthetic: float = 0.3
    # Spectral slope of the coloured noises (dB per octave): white is 0, brown -6.
    coloured_slope_db: tuple[float, float] = (-6.0, 1.5)
    # Lowest frequency the slope reaches (log-uniform): below it the noise is flat. Rumble,
    # wind and handling noise carry most of their energy below 20 Hz.
    coloured_floor_hz: tuple[float, float] = (20.0, 20.0)
    p_second_noise: float = 0.25
    p_room: float = 0.25
    p_eq: float = 0.5
    p_band_limited: float = 0.12
    p_noise_only: float = 0.04
    p_clean_only: float = 0.04
    p_digital_silence: float = 0.08  # no noise at all: speech out of and into silence
    # A muted input: the stream opens with 0.1-1.5 s of exact zeros, then noise or speech.
    p_silent_start: float = 0.0
    # An utterance replaced by a synthetic sung vowel: a voice that stays on one pitch.
    p_held_note: float = 0.0
    held_note_seconds: tuple[float, float] = (0.1, 0.5)
    # Speech played faster or slower (pitch and tempo together) by up to this share:
    # more voices than the corpus has speakers.
    p_speed: float = 0.5
    max_speed_change: float = 0.15
    # Recorded noise played at another speed within this range: more noises than the 76
    # recordings, at other pitches and tempos.
    p_noise_speed: float = 0.0
    noise_speeds: tuple[float, float] = (1.0, 1.3)


def _resonance(centre_hz: float, q: float) -> tuple[np.ndarray, np.ndarray]:
    """A band-pass resonance; a wide one near Nyquist can come out unstable, so Q grows until stable."""
    while True:
        b, a = sps.iirpeak(centre_hz / (RATE / 2), q)
        if np.max(np.abs(np.roots(a))) < 0.999:
            return b, a
        q *= 1.5


def _spectrally_shaped(
    rng: np.random.Generator, length: int, slope_db_per_octave: float, floor_hz: float = 20.0
) -> Audio:
    spectrum = np.fft.rfft(rng.standard_normal(length))
    freqs = np.maximum(np.fft.rfftfreq(length, 1.0 / RATE), floor_hz)
    spectrum *= (freqs / 1000.0) ** (slope_db_per_octave / (20.0 * np.log10(2.0)))
    return np.fft.irfft(spectrum, length).astype(np.float32)


def coloured(
    rng: np.random.Generator,
    length: int,
    slope_db: tuple[float, float] = (-6.0, 1.5),
    floor_hz: tuple[float, float] = (20.0, 20.0),
) -> Audio:
    """Noise of a random spectral slope (white to brown by default), with a random bump or notch."""
    low, high = floor_hz
    # A fixed floor draws nothing: recipes without the range keep their random stream.
    floor = low if low == high else float(np.exp(rng.uniform(np.log(low), np.log(high))))
    noise = _spectrally_shaped(rng, length, rng.uniform(*slope_db), floor)
    if rng.random() < 0.5:
        centre = rng.uniform(200.0, 6000.0)
        b, a = _resonance(centre, rng.uniform(1.0, 4.0))
        noise = noise + rng.uniform(0.5, 3.0) * sps.lfilter(b, a, noise)
    return noise.astype(np.float32)


def hum(rng: np.random.Generator, length: int) -> Audio:
    """Mains hum with decaying, randomly weighted harmonics over a little hiss."""
    t = np.arange(length) / RATE
    base = rng.choice([50.0, 60.0]) * rng.uniform(0.99, 1.01)
    out = np.zeros(length)
    for k in range(1, int(rng.integers(4, 30))):
        if base * k >= RATE / 2:
            break
        out += rng.uniform(0.1, 1.0) / k**rng.uniform(0.3, 1.5) * np.sin(2 * np.pi * base * k * t + rng.uniform(0, 6.3))
    out += 10 ** (rng.uniform(-50, -25) / 20) * rng.standard_normal(length)
    return out.astype(np.float32)


def fan(rng: np.random.Generator, length: int) -> Audio:
    """Low-passed broadband noise with slow amplitude flutter and a blade-rate tone."""
    noise = _spectrally_shaped(rng, length, rng.uniform(-4.0, -1.0))
    b, a = sps.butter(2, rng.uniform(800.0, 5000.0) / (RATE / 2))
    noise = sps.lfilter(b, a, noise)
    t = np.arange(length) / RATE
    noise *= 1.0 + rng.uniform(0.0, 0.3) * np.sin(2 * np.pi * rng.uniform(0.2, 8.0) * t)
    tone = rng.uniform(0.0, 0.5) * np.std(noise) * np.sin(2 * np.pi * rng.uniform(80.0, 400.0) * t)
    return (noise + tone).astype(np.float32)


def clicks(rng: np.random.Generator, length: int) -> Audio:
    """Keyboard-like clicks: short decaying bursts at random times over faint noise."""
    out = 10 ** (rng.uniform(-40, -20) / 20) * rng.standard_normal(length)
    rate_hz = rng.uniform(1.0, 12.0)
    for start in rng.integers(0, length, int(rate_hz * length / RATE) + 1):
        n = int(rng.integers(40, 400))
        burst = rng.standard_normal(n) * np.exp(-np.arange(n) / (n / rng.uniform(2, 6)))
        end = min(length, start + n)
        out[start:end] += rng.uniform(0.3, 1.0) * burst[: end - start] * 4
    return out.astype(np.float32)


def beeps(rng: np.random.Generator, length: int) -> Audio:
    """Intermittent tonal beeps (one or two tones) over faint noise."""
    t = np.arange(length) / RATE
    tone = sum(np.sin(2 * np.pi * rng.uniform(300.0, 4000.0) * t) for _ in range(int(rng.integers(1, 3))))
    period = rng.uniform(0.2, 2.0)
    gate = ((t % period) < period * rng.uniform(0.1, 0.7)).astype(np.float64)
    gate = np.convolve(gate, np.hanning(81) / np.hanning(81).sum(), mode="same")
    out = tone * gate + 10 ** (rng.uniform(-45, -20) / 20) * rng.standard_normal(length)
    return out.astype(np.float32)


SYNTHETIC = (coloured, coloured, hum, fan, clicks, beeps)


def held_note(rng: np.random.Generator, samples: int, seconds: tuple[float, float]) -> Audio:
    """A sung vowel: a harmonic voice on one pitch with vibrato, shaped by two formants."""
    length = min(samples, int(rng.uniform(*seconds) * RATE))
    t = np.arange(length) / RATE
    pitch = rng.uniform(90.0, 400.0) * (1 + rng.uniform(0.0, 0.03) * np.sin(2 * np.pi * rng.uniform(4, 7) * t))
    phase = 2 * np.pi * np.cumsum(pitch) / RATE
    tilt = rng.uniform(0.7, 1.5)
    top = int(7500.0 / pitch.max())
    note = sum(np.sin(k * phase + rng.uniform(0, 6.3)) / k**tilt for k in range(1, top + 1))
    for _ in range(2):
        b, a = _resonance(rng.uniform(300.0, 3000.0), rng.uniform(2.0, 6.0))
        note = note + sps.lfilter(b, a, note)
    ramp = min(length // 2, int(0.03 * RATE))
    envelope = np.ones(length)
    envelope[:ramp], envelope[length - ramp :] = np.linspace(0, 1, ramp), np.linspace(1, 0, ramp)
    return (0.1 * note * envelope / (np.std(note) + 1e-9)).astype(np.float32)


def crop(rng: np.random.Generator, audio: Audio, length: int) -> Audio:
    """`length` samples from a random offset, looping a shorter recording."""
    if len(audio) >= length:
        start = int(rng.integers(0, len(audio) - length + 1))
        return audio[start : start + length]
    return np.resize(np.roll(audio, -int(rng.integers(0, len(audio)))), length)


def room_response(rng: np.random.Generator) -> Audio:
    """A simulated room: direct path, sparse early reflections, exponential diffuse tail."""
    rt60 = rng.uniform(0.15, 0.8)
    length = int(rt60 * RATE)
    t = np.arange(length) / RATE
    tail = rng.standard_normal(length) * np.exp(-6.9 * t / rt60)
    tail[: int(0.002 * RATE)] = 0.0
    response = tail * 10 ** (rng.uniform(-25, -8) / 20) / np.sqrt(np.sum(tail**2) + 1e-12)
    response[0] = 1.0
    for _ in range(int(rng.integers(2, 8))):
        response[int(rng.integers(int(0.002 * RATE), int(0.03 * RATE)))] += rng.uniform(-0.5, 0.5)
    return response.astype(np.float32)


def microphone_eq(rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """A random second-order filter: a shelf-like tilt or a resonance, the same for speech and noise."""
    kind = rng.integers(0, 3)
    if kind == 0:
        b, a = sps.butter(1, rng.uniform(50.0, 300.0) / (RATE / 2), "highpass")
    elif kind == 1:
        b, a = _resonance(rng.uniform(300.0, 6000.0), rng.uniform(1.0, 3.0))
        gain = 10 ** (rng.uniform(-8, 8) / 20) - 1.0
        b, a = np.polyadd(a, gain * b), a  # x + gain * peak(x)
    else:
        b, a = sps.butter(1, rng.uniform(2000.0, 7500.0) / (RATE / 2), "lowpass")
        mix = rng.uniform(0.3, 0.9)
        b, a = np.polyadd(mix * b, (1 - mix) * a), a
    return np.asarray(b, np.float64), np.asarray(a, np.float64)


def _rms(x: np.ndarray) -> float:
    return float(np.sqrt(np.mean(np.square(x, dtype=np.float64)) + 1e-20))


def _active_rms(x: np.ndarray) -> float:
    """RMS over the loudest 20 ms frames holding the speech (pauses ignored)."""
    frames = x[: len(x) // 320 * 320].reshape(-1, 320)
    if len(frames) == 0:
        return _rms(x)
    energy = np.mean(np.square(frames, dtype=np.float64), axis=1)
    active = energy[energy > energy.max() * 1e-3]
    return float(np.sqrt(np.mean(active) + 1e-20))


def _onset(x: Audio) -> int:
    """Index a few milliseconds before the first 10 ms frame within 30 dB of the loudest."""
    frames = x[: len(x) // 160 * 160].reshape(-1, 160)
    if len(frames) == 0:
        return 0
    energy = np.mean(np.square(frames, dtype=np.float64), axis=1)
    first = int(np.argmax(energy > energy.max() * 1e-3))
    return max(0, first * 160 - 80)


def _stretched(audio: Audio, samples: int, up: int) -> Audio:
    """At most `samples` samples of `audio` made up / 20 times as long: played slower and
    lower above 20, faster and higher below."""
    return sps.resample_poly(audio[: samples * 20 // up + 64], up, 20).astype(np.float32)[:samples]


def change_speed(rng: np.random.Generator, speech: Audio, samples: int, max_change: float) -> Audio:
    """At most `samples` samples of `speech` resampled by a random factor within 1 ± max_change."""
    steps = max(1, int(round(max_change * 20)))
    return _stretched(speech, samples, 20 + int(rng.choice([k for k in range(-steps, steps + 1) if k != 0])))


def noise_at_speed(rng: np.random.Generator, noise: Audio, samples: int, speeds: tuple[float, float]) -> Audio:
    """`samples` samples of a random stretch of `noise` played at a random speed within `speeds`
    (in steps of 1/20 of the length), never at its own."""
    ups = [up for up in range(int(np.ceil(20 / speeds[1])), int(20 / speeds[0]) + 1) if up != 20]
    up = int(rng.choice(ups))
    return _stretched(crop(rng, noise, samples * 20 // up + 64), samples, up)


def mixture(
    rng: np.random.Generator, speech: list[Audio], noise: list[Audio], length: int, recipe: Recipe = Recipe()
) -> tuple[Audio, Audio]:
    """(clean, noisy) of `length` samples; the stream starts at sample 0 of both."""
    # Drawn only when asked for, so that a recipe without muted openings makes the same
    # mixtures from the same seed as before the option existed.
    if recipe.p_silent_start and rng.random() < recipe.p_silent_start:
        silence = min(length // 2, int(rng.uniform(0.1, 1.5) * RATE))
        clean, noisy = _sounding_mixture(rng, speech, noise, length - silence, recipe)
        return np.pad(clean, (silence, 0)), np.pad(noisy, (silence, 0))
    return _sounding_mixture(rng, speech, noise, length, recipe)


def _sounding_mixture(
    rng: np.random.Generator, speech: list[Audio], noise: list[Audio], length: int, recipe: Recipe
) -> tuple[Audio, Audio]:
    clean = np.zeros(length, np.float32)
    if rng.random() < recipe.p_lead:
        start = int(rng.uniform(0.0, recipe.max_lead_s) * RATE)
    elif rng.random() < recipe.p_early_onset:
        start = int(rng.uniform(0.0, 0.05) * RATE)
    else:
        start = 0  # speech already under way when the stream starts
    position = length if rng.random() < recipe.p_noise_only else start
    while position < length:
        if recipe.p_held_note and rng.random() < recipe.p_held_note:
            piece = held_note(rng, length - position, recipe.held_note_seconds)
        else:
            utterance = speech[int(rng.integers(len(speech)))]
            if position == 0:
                utterance = utterance[int(rng.integers(0, max(1, len(utterance) - RATE))) :]
            else:
                utterance = utterance[_onset(utterance) :]
            if rng.random() < recipe.p_speed:
                utterance = change_speed(rng, utterance, length - position, recipe.max_speed_change)
            piece = utterance[: length - position] * 10 ** (rng.uniform(-4, 4) / 20)
        clean[position : position + len(piece)] = piece
        position += len(piece) + int(rng.uniform(0.1, 1.5) * RATE)
    if rng.random() < recipe.p_room:
        clean = sps.fftconvolve(clean, room_response(rng))[:length].astype(np.float32)

    def one_noise() -> tuple[Audio, bool]:
        """A noise, and whether it is recorded."""
        if rng.random() < recipe.p_synthetic:
            generator = SYNTHETIC[int(rng.integers(len(SYNTHETIC)))]
            if generator is coloured:
                return coloured(rng, length, recipe.coloured_slope_db, recipe.coloured_floor_hz), False
            return generator(rng, length), False
        recording = noise[int(rng.integers(len(noise)))]
        # Drawn only when asked for: recipes without it keep their random stream.
        if recipe.p_noise_speed and rng.random() < recipe.p_noise_speed:
            return noise_at_speed(rng, recording, length, recipe.noise_speeds), True
        return crop(rng, recording, length).copy(), True

    noisy_part, recorded = one_noise()
    snr_range = recipe.recorded_snr_db if recorded and recipe.recorded_snr_db else recipe.snr_db
    if rng.random() < recipe.p_second_noise:
        second, _ = one_noise()
        noisy_part = noisy_part + second * (_rms(noisy_part) / _rms(second)) * 10 ** (rng.uniform(-15, 0) / 20)

    if rng.random() < recipe.p_eq:
        b, a = microphone_eq(rng)
        clean = sps.lfilter(b, a, clean).astype(np.float32)
        noisy_part = sps.lfilter(b, a, noisy_part).astype(np.float32)
    if rng.random() < recipe.p_band_limited:
        # Telephone or 8 kHz-rate material played at 16 kHz: nothing above the cut.
        sos = sps.butter(8, rng.uniform(3400.0, 4000.0) / (RATE / 2), output="sos")
        clean = sps.sosfilt(sos, clean).astype(np.float32)
        noisy_part = sps.sosfilt(sos, noisy_part).astype(np.float32)

    speech_rms = _active_rms(clean) if np.any(clean) else 0.0
    level = 10 ** (rng.uniform(*recipe.speech_level_dbfs) / 20)
    if speech_rms > 0:
        clean = clean * (level / speech_rms)
        snr = rng.uniform(*snr_range) if rng.random() >= recipe.p_clean_only else rng.uniform(40, 60)
        noisy_part = noisy_part * (level / _rms(noisy_part)) * 10 ** (-snr / 20)
        if rng.random() < recipe.p_digital_silence:
            noisy_part = np.zeros_like(noisy_part)
    else:
        noisy_part = noisy_part * (level / _rms(noisy_part)) * 10 ** (-rng.uniform(-5, 20) / 20)
    noisy = clean + noisy_part
    peak = float(np.max(np.abs(noisy)))
    if peak > 0.99:
        clean, noisy = clean * (0.99 / peak), noisy * (0.99 / peak)
    noisy = np.round(noisy * 32768.0) / 32768.0  # the 16-bit input the engine sees
    return clean.astype(np.float32), noisy.astype(np.float32)
