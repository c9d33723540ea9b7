"""Audio and video containers through PyAV (FFmpeg), for files soundfile cannot read.

Every audio stream is decoded, denoised and encoded again with its own codec, rate,
channel layout and at least its own bit rate; every other stream (video,
subtitles, data) has its packets copied as they are, timestamps included, and the
container's metadata is kept. Each audio stream's output has exactly as many
samples as its decoded input and starts at the same time; the encoder's priming
and the padding of its last frame are recorded by the muxer as for any encode, so
the decoded length matches to the sample where the container keeps that record
(MP4/MOV/M4A edit lists, the MP3 encoder header, Ogg/Opus pre-skip and granule
positions) and to within one codec frame where it does not (ADTS, Matroska/WebM).
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path, PurePosixPath
from typing import Any

import numpy as np

from ._pipeline import DenoisePipeline

# The muxer for each output name; others use the input's own muxer.
_MUXER_OF_SUFFIX = {
    ".mp4": "mp4",
    ".m4v": "mp4",
    ".m4a": "ipod",
    ".mov": "mov",
    ".mkv": "matroska",
    ".mka": "matroska",
    ".webm": "webm",
    ".mp3": "mp3",
    ".opus": "ogg",
    ".ogg": "ogg",
    ".oga": "ogg",
    ".aac": "adts",
    ".ts": "mpegts",
}


_BIT_RATE_MARGIN = 1.05


class MediaError(Exception):
    """A media file that cannot be denoised; the message is one line for the user."""


class PyAVMissing(MediaError):
    """The file is not WAV, FLAC or OGG, and PyAV is not installed to read it."""


class NoAudioStream(MediaError):
    """A media file that holds no audio to denoise."""


@dataclass(frozen=True)
class MediaResult:
    audio_seconds: float
    mean_speech_probability: float
    model: tuple[str, str] | None


def _import_av() -> Any:
    try:
        import av
    except ImportError:
        raise PyAVMissing("reading this file needs PyAV: pip install 'orlune[media]'") from None
    return av


def probe_media(path: Path) -> float:
    """Checks that `path` is a media file with an audio stream; returns its duration
    in seconds (0 when the container does not say)."""
    av = _import_av()
    try:
        with av.open(str(path)) as container:
            if not container.streams.audio:
                raise NoAudioStream(f"{path}: has no audio stream")
            return max(container.duration or 0, 0) / 1_000_000
    except (av.FFmpegError, UnicodeDecodeError) as error:
        raise MediaError(f"{path}: not a readable audio or video file ({_reason(error)})") from None


def muxer_for(source: Path, target: str, input_format: str) -> str:
    """The output container: the input's, named as the target's suffix names it."""
    source_suffix = source.suffix.lower()
    target_suffix = PurePosixPath(target).suffix.lower()
    if target_suffix != source_suffix:
        raise MediaError(
            f"{target}: the output keeps the input's container;"
            f" name it with {source_suffix or 'no suffix'}"
        )
    return _MUXER_OF_SUFFIX.get(target_suffix) or input_format.split(",")[0]


class _AudioTrack:
    """One audio stream on its way from decoder through the denoiser to the encoder."""

    def __init__(
        self, av: Any, source: Any, output: Any, limit_db: float, model: str
    ) -> None:
        self._av = av
        context = source.codec_context
        self.rate: int = context.sample_rate
        self.layout = context.layout
        self.channels: int = context.channels
        self.source = source
        codec = context.codec.canonical_name
        self.stream = output.add_stream(codec, rate=self.rate)
        self.stream.layout = self.layout
        if context.bit_rate:
            # Encoders meet their target only on average, a few percent either way;
            # the margin keeps the output's rate at least the input's.
            self.stream.bit_rate = math.ceil(context.bit_rate * _BIT_RATE_MARGIN)
        self.stream.time_base = Fraction(1, self.rate)
        self.stream.metadata.update(source.metadata)
        self._to_float = av.AudioResampler(format="flt", layout=self.layout, rate=self.rate)
        self.pipeline = DenoisePipeline(self.rate, self.channels, limit_db, model=model)
        self._start: int | None = None  # the first sample's time, in samples
        self.samples = 0
        self.decoded_seconds = 0.0
        self._written = 0
        # Decoded frames are a few milliseconds each; they go through the denoiser
        # (which any chunking gives the same output) a quarter second at a time,
        # where the cost per call no longer shows.
        self._waiting: list[Any] = []
        self._waiting_samples = 0
        self._batch_samples = max(1, self.rate // 4)

    def decode(self, packet: Any) -> list[Any]:
        for frame in self.source.codec_context.decode(packet):
            if self._start is None:
                pts = frame.pts if frame.pts is not None else 0
                self._start = round(pts * frame.time_base * self.rate) if frame.time_base else 0
            self._wait(self._to_float.resample(frame))
        if self._waiting_samples < self._batch_samples:
            return []
        return self._encode([self.pipeline.push(self._take())])

    def finish(self) -> list[Any]:
        self.decode(None)  # drains the decoder
        self._wait(self._to_float.resample(None))
        out = [self.pipeline.push(self._take()), self.pipeline.finish(np.dtype(np.float32))]
        return self._encode(out) + list(self.stream.encode(None))

    def _wait(self, frames: list[Any]) -> None:
        for frame in frames:
            samples = frame.to_ndarray().reshape(-1, self.channels)
            self._waiting.append(samples)
            self._waiting_samples += samples.shape[0]
            self.decoded_seconds += samples.shape[0] / self.rate

    def _take(self) -> Any:
        if not self._waiting:
            return np.empty((0, self.channels), np.float32)
        chunk = np.concatenate(self._waiting)
        self._waiting, self._waiting_samples = [], 0
        return chunk

    def _encode(self, blocks: list[Any]) -> list[Any]:
        packets: list[Any] = []
        for block in blocks:
            self.samples += block.shape[0] if block.size else 0
            if not block.shape[0]:
                continue
            frame = self._av.AudioFrame.from_ndarray(
                np.ascontiguousarray(block, dtype=np.float32).reshape(1, -1),
                format="flt",
                layout=self.layout,
            )
            frame.sample_rate = self.rate
            frame.time_base = Fraction(1, self.rate)
            frame.pts = (self._start or 0) + self._written
            self._written += block.shape[0]
            packets.extend(self.stream.encode(frame))
        return packets

    def close(self) -> None:
        self.pipeline.close()


def denoise_media(
    source: Path,
    descriptor: int,
    target: str,
    attenuation_limit_db: float,
    model: str,
    progress: Callable[[float], None] | None = None,
) -> MediaResult:
    """Denoises the media file `source` into the file open at `descriptor`."""
    av = _import_av()
    try:
        source_container = av.open(str(source))
    except (av.FFmpegError, UnicodeDecodeError) as error:
        raise MediaError(f"{source}: not a readable audio or video file ({_reason(error)})") from None
    tracks: dict[int, _AudioTrack] = {}
    try:
        audio = [stream for stream in source_container.streams if stream.type == "audio"]
        if not audio:
            raise NoAudioStream(f"{source}: has no audio stream")
        muxer = muxer_for(source, target, source_container.format.name)
        with os.fdopen(os.dup(descriptor), "w+b") as sink, av.open(
            sink, "w", format=muxer
        ) as output:
            output.metadata.update(source_container.metadata)
            copied = {}
            for stream in source_container.streams:
                if stream.type == "audio":
                    tracks[stream.index] = _AudioTrack(
                        av, stream, output, attenuation_limit_db, model
                    )
                else:
                    copied[stream.index] = output.add_stream_from_template(stream)
                    copied[stream.index].metadata.update(stream.metadata)
            timed = tracks[audio[0].index]
            for packet in source_container.demux():
                index = packet.stream.index
                if index in tracks:
                    if packet.size == 0:
                        continue  # the demuxer's end marker; drained below
                    before = tracks[index].decoded_seconds
                    output.mux(tracks[index].decode(packet))
                    if progress is not None and tracks[index] is timed:
                        progress(tracks[index].decoded_seconds - before)
                elif index in copied and packet.dts is not None:
                    packet.stream = copied[index]
                    output.mux(packet)
            for track in tracks.values():
                output.mux(track.finish())
        seconds = max(track.samples / track.rate for track in tracks.values())
        means = [track.pipeline.mean_speech_probability for track in tracks.values()]
        known = [mean for mean in means if not math.isnan(mean)]
        mean = sum(known) / len(known) if known else math.nan
        return MediaResult(seconds, mean, timed.pipeline.model)
    except av.FFmpegError as error:
        raise MediaError(f"{source}: cannot be denoised ({_reason(error)})") from None
    finally:
        for track in tracks.values():
            track.close()
        source_container.close()


def _reason(error: BaseException) -> str:
    text = getattr(error, "strerror", None) or str(error)
    return " ".join(str(text).split())
