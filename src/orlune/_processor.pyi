"""The host-facing processor: 16-bit PCM in, enhanced 16-bit PCM out, block by block."""

import logging as logging
import time as time
from collections.abc import Callable as Callable
from typing import Protocol as Protocol
from typing import TypeVar

import numpy as np
from numpy.typing import NDArray as NDArray

from ._model_store import ModelArtifact as ModelArtifact
from ._model_store import ModelManifest as ModelManifest
from ._model_store import ModelStore as ModelStore
from ._orlune_nc import OrluneNC as OrluneNC
from ._telemetry import TelemetryClient as TelemetryClient
from ._telemetry import TelemetryReporter as TelemetryReporter

logger: logging.Logger

# Taking the array type through a variable bound to int16 (rather than naming
# int16) stops a type checker from inferring an inline `np.zeros(n, np.float32)`
# argument as int16 from the parameter's type.
_Int16 = TypeVar("_Int16", bound=np.int16)

def _sdk_version() -> str: ...

class _DenoisingSession(Protocol):
    frame_length: int
    def process_frame(self, samples: NDArray[np.int16]) -> NDArray[np.int16]: ...
    def close(self) -> None: ...

_SessionFactory = Callable[[int], _DenoisingSession]

class _TelemetryReporter(Protocol):
    def record_block(
        self, *, sample_rate_hz: int, block_samples: int, inference_duration_ns: int
    ) -> None: ...
    def close(self) -> None: ...

class _ModelStore(Protocol):
    def resolve(self, manifest: ModelManifest) -> ModelArtifact: ...

class OrluneProcessor:
    """Enhances 16-bit PCM audio, a whole number of engine blocks at a time.

    It runs the packaged default model (``orlune-nc-default``, at the version
    the packaged index lists). A model store passed as `_model_store` decides
    which bundle its `resolve` returns: that is how another model is reached
    (`orlune.denoise` and `orlune.StreamDenoiser` take a model id instead).
    `attenuation_limit_db` above the model's deepest suppression (20 dB for the
    statistical engine; `orlune.packaged_models()` states each) gives the same
    output as that maximum.
    """

    _session: _DenoisingSession | None
    def __init__(
        self,
        *,
        attenuation_limit_db: float = 100.0,
        _session_factory: _SessionFactory | None = None,
        _telemetry_reporter: _TelemetryReporter | None = None,
        _model_store: _ModelStore | None = None,
        _perf_counter_ns: Callable[[], int] | None = None,
    ) -> None: ...
    def initialize(self, sample_rate: int) -> None:
        """Fixes the sample rate and opens the engine stream; once per processor."""
    @property
    def frame_length(self) -> int:
        """Samples per engine block; `process` takes whole blocks."""
    @property
    def sample_rate(self) -> int | None: ...
    def process(self, samples: NDArray[_Int16]) -> NDArray[np.int16]:
        """Enhances a 1-D int16 array of whole blocks; returns a new array of the same shape."""
    def close(self) -> None:
        """Releases the engine stream and logs a summary; safe to call more than once."""
