"""A small plugin host over ctypes: drives the LADSPA and LV2 descriptors of orlune's plugins
directly, with any block sizes, for the tests and bench/plugins.py."""

from __future__ import annotations

import ctypes
from collections.abc import Iterable
from pathlib import Path
from typing import Self

import numpy as np
from numpy.typing import NDArray

# Control ports, in order after the audio ports (the plugins' own order).
CONTROLS = (
    "attenuation_limit",
    "vad_threshold",
    "vad_hold",
    "vad_lookahead",
    "latency",
    "speech_probability",
)
DEFAULTS = {"attenuation_limit": 100.0, "vad_threshold": 0.0, "vad_hold": 200.0}
MAX_BLOCK = 8192

_Handle = ctypes.c_void_p
_FloatPointer = ctypes.POINTER(ctypes.c_float)
_Run = ctypes.CFUNCTYPE(None, _Handle, ctypes.c_ulong)
_Activate = ctypes.CFUNCTYPE(None, _Handle)


class _Ladspa(ctypes.Structure):
    _fields_ = [
        ("unique_id", ctypes.c_ulong),
        ("label", ctypes.c_char_p),
        ("properties", ctypes.c_int),
        ("name", ctypes.c_char_p),
        ("maker", ctypes.c_char_p),
        ("copyright", ctypes.c_char_p),
        ("port_count", ctypes.c_ulong),
        ("port_descriptors", ctypes.c_void_p),
        ("port_names", ctypes.c_void_p),
        ("port_range_hints", ctypes.c_void_p),
        ("implementation_data", ctypes.c_void_p),
        ("instantiate", ctypes.CFUNCTYPE(_Handle, ctypes.c_void_p, ctypes.c_ulong)),
        ("connect_port", ctypes.CFUNCTYPE(None, _Handle, ctypes.c_ulong, _FloatPointer)),
        ("activate", _Activate),
        ("run", _Run),
        ("run_adding", ctypes.c_void_p),
        ("set_run_adding_gain", ctypes.c_void_p),
        ("deactivate", ctypes.c_void_p),
        ("cleanup", _Activate),
    ]


class _Lv2(ctypes.Structure):
    _fields_ = [
        ("uri", ctypes.c_char_p),
        (
            "instantiate",
            ctypes.CFUNCTYPE(
                _Handle, ctypes.c_void_p, ctypes.c_double, ctypes.c_char_p, ctypes.c_void_p
            ),
        ),
        ("connect_port", ctypes.CFUNCTYPE(None, _Handle, ctypes.c_uint32, _FloatPointer)),
        ("activate", _Activate),
        ("run", ctypes.CFUNCTYPE(None, _Handle, ctypes.c_uint32)),
        ("deactivate", ctypes.c_void_p),
        ("cleanup", _Activate),
        ("extension_data", ctypes.c_void_p),
    ]


class PluginRefused(RuntimeError):
    """instantiate returned NULL."""


class Plugin:
    """One instance of orlune_mono/orlune_stereo (LADSPA) or urn:orlune:mono/stereo (LV2).

    `library` is the plugin's shared library; LV2 instances get its folder as their bundle.
    """

    def __init__(self, library: Path, stereo: bool, sample_rate: float) -> None:
        self.channels = 2 if stereo else 1
        self._lib = ctypes.CDLL(str(library))
        self.lv2 = library.parent.suffix == ".lv2"
        if self.lv2:
            entry = self._lib.lv2_descriptor
            entry.argtypes, entry.restype = [ctypes.c_uint32], ctypes.POINTER(_Lv2)
            self._descriptor = entry(int(stereo)).contents
            bundle = f"{library.parent}/".encode()
            handle = self._descriptor.instantiate(
                ctypes.byref(self._descriptor), sample_rate, bundle, None
            )
        else:
            entry = self._lib.ladspa_descriptor
            entry.argtypes, entry.restype = [ctypes.c_ulong], ctypes.POINTER(_Ladspa)
            self._descriptor = entry(int(stereo)).contents
            handle = self._descriptor.instantiate(ctypes.byref(self._descriptor), int(sample_rate))
        if not handle:
            raise PluginRefused(f"{library} refused {sample_rate} Hz")
        self._handle = handle
        # Host-owned port memory: (channels, MAX_BLOCK) in and out, and the controls.
        self._input = np.zeros((self.channels, MAX_BLOCK), dtype=np.float32)
        self._output = np.zeros((self.channels, MAX_BLOCK), dtype=np.float32)
        self.controls = np.zeros(len(CONTROLS), dtype=np.float32)
        for name, value in DEFAULTS.items():
            self.set(name, value)
        buffers = [*self._input, *self._output]
        for port, buffer in enumerate(buffers):
            self._descriptor.connect_port(handle, port, buffer.ctypes.data_as(_FloatPointer))
        for index in range(len(CONTROLS)):
            pointer = ctypes.cast(self.controls.ctypes.data + 4 * index, _FloatPointer)
            self._descriptor.connect_port(handle, len(buffers) + index, pointer)
        self._run = self._descriptor.run
        self._descriptor.activate(handle)

    def set(self, control: str, value: float) -> None:
        self.controls[CONTROLS.index(control)] = value

    def get(self, control: str) -> float:
        return float(self.controls[CONTROLS.index(control)])

    def activate(self) -> None:
        self._descriptor.activate(self._handle)

    def feed(self, block: NDArray[np.float32]) -> None:
        """Puts (channels, n) audio into the input buffers for the next `run`."""
        self._input[:, : block.shape[1]] = block

    def run(self, frames: int) -> None:
        self._run(self._handle, frames)

    def process(self, audio: NDArray[np.float32], blocks: Iterable[int]) -> NDArray[np.float32]:
        """Runs (channels, n) audio through in blocks of the given sizes (repeated as needed)."""
        out = np.empty_like(audio)
        sizes = list(blocks)
        done = step = 0
        while done < audio.shape[1]:
            n = min(sizes[step % len(sizes)], audio.shape[1] - done)
            self.feed(audio[:, done : done + n])
            self._run(self._handle, n)
            out[:, done : done + n] = self._output[:, :n]
            done += n
            step += 1
        return out

    def close(self) -> None:
        if self._handle:
            self._descriptor.cleanup(self._handle)
            self._handle = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()
