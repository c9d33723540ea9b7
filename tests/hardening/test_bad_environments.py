"""A broken installation gives its documented error, leaves nothing behind, and can be repaired.

Each case breaks a private copy of the package (engine library or model
bundle), checks the error of every entry point in a child interpreter, checks
that no engine handle, library cache entry or session remains, then repairs
the copy in the same child and checks that the next attempt works.
"""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from engine_harness import PackageCopy

ELF_MACHINE_OFFSET = 18
ELF_MACHINE_AARCH64 = 0xB7

# How each case breaks the copy (code run in the child), and the error that
# OrluneNC, OrluneProcessor (construction or initialize) and denoise then raise.
LIBRARY_CASES = {
    "library_missing": ("LIBRARY.unlink()", "FileNotFoundError"),
    "library_is_a_directory": ("LIBRARY.unlink(); LIBRARY.mkdir()", "FileNotFoundError"),
    "library_is_a_fifo": ("LIBRARY.unlink(); os.mkfifo(LIBRARY)", "FileNotFoundError"),
    "library_for_another_machine": (
        f"data = bytearray(LIBRARY.read_bytes()); "
        f"data[{ELF_MACHINE_OFFSET}:{ELF_MACHINE_OFFSET + 2}] = ({ELF_MACHINE_AARCH64}).to_bytes(2, 'little'); "
        f"LIBRARY.write_bytes(data)",
        "OSError",
    ),
    "library_without_engine_exports": ("shutil.copyfile(EXPORTLESS, LIBRARY)", "AttributeError"),
}
MODEL_CASES = {
    "bundle_missing": "MODEL.unlink()",
    "bundle_is_a_directory": "MODEL.unlink(); MODEL.mkdir()",
    "bundle_is_a_fifo": "MODEL.unlink(); os.mkfifo(MODEL)",
}

PRELUDE = """
import os, shutil
from orlune._orlune_nc import OrluneNC, _LIBRARY_CACHE
from orlune._model_store import ModelStoreError
from orlune import OrluneProcessor, StreamDenoiser, denoise

def repair(path):
    if path.is_dir():
        path.rmdir()
    else:
        path.unlink(missing_ok=True)
    shutil.copyfile(GOOD / path.name, path)

def works():
    frame = np.arange(480, dtype=np.int16)
    session = OrluneNC(sample_rate=48000, attenuation_limit_db=100.0, model_path=MODEL)
    assert np.array_equal(session.process_frame(frame), frame)
    session.close()
    assert denoise(frame, 48000).shape == frame.shape
    with StreamDenoiser(48000) as stream:
        stream.process(frame)

def nothing_left():
    engine = InstrumentedEngine()
    for name in ("live_models", "live_sessions", "bad_handle_calls", "null_handle_calls"):
        assert engine.counter(name) == 0, (name, engine.counter(name))
"""

LIBRARY_CHILD = """
processor = OrluneProcessor()  # resolving the model needs no engine
GOOD.mkdir()
shutil.copyfile(LIBRARY, GOOD / LIBRARY.name)
{breakage}
for attempt in (lambda: OrluneNC(sample_rate=48000, attenuation_limit_db=100.0, model_path=MODEL),
                lambda: processor.initialize(48000),
                lambda: denoise(np.zeros(480, np.int16), 48000),
                lambda: StreamDenoiser(48000)):
    expect_error({error}, attempt)
assert processor._session is None and processor.sample_rate is None
assert _LIBRARY_CACHE == {{}}, _LIBRARY_CACHE

repair(LIBRARY)
processor.initialize(48000)
assert processor.process(np.zeros(480, np.int16)).shape == (480,)
processor.close()
works()
nothing_left()
"""

MODEL_CHILD = """
GOOD.mkdir()
shutil.copyfile(MODEL, GOOD / MODEL.name)
{breakage}
expect_error(FileNotFoundError, OrluneNC, sample_rate=48000, attenuation_limit_db=1.0,
             model_path=MODEL)
for attempt in (OrluneProcessor, lambda: denoise(np.zeros(480, np.int16), 48000)):
    expect_error(ModelStoreError, attempt)
assert _LIBRARY_CACHE == {{}}, "the engine was loaded before the model was found"

repair(MODEL)
works()
nothing_left()
"""


@pytest.fixture(scope="module")
def exportless_library(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """A valid shared library of this machine that exports no engine function."""
    directory = tmp_path_factory.mktemp("exportless")
    source = directory / "unrelated.cpp"
    source.write_text('extern "C" int unrelated_function() { return 1; }\n')
    library = directory / "libunrelated.so"
    subprocess.run(["c++", "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
    return library


def _run(copy: PackageCopy, child: str, breakage: str, error: str, exportless: Path) -> None:
    code = PRELUDE + child.format(breakage=breakage, error=error)
    copy.run(code, with_engine=False, GOOD=copy.root / "good", EXPORTLESS=exportless)


@pytest.mark.parametrize(("breakage", "error"), LIBRARY_CASES.values(), ids=LIBRARY_CASES.keys())
def test_broken_engine_library(
    engine_package: PackageCopy, exportless_library: Path, breakage: str, error: str
) -> None:
    _run(engine_package, LIBRARY_CHILD, breakage, error, exportless_library)


@pytest.mark.parametrize("breakage", MODEL_CASES.values(), ids=MODEL_CASES.keys())
def test_broken_model_bundle(
    engine_package: PackageCopy, exportless_library: Path, breakage: str
) -> None:
    _run(engine_package, MODEL_CHILD, breakage, "", exportless_library)


def test_real_engine_refuses_a_corrupt_bundle_and_then_loads_a_good_one(tmp_path: Path) -> None:
    import orlune
    from orlune._orlune_nc import OrluneNC

    models = Path(orlune.__file__).parent / "resources" / "models"
    bundle = (models / "orlune-nc-default.bin").read_bytes()
    corrupt = tmp_path / "corrupt.bin"
    for damaged in (bundle[:-1], bundle[:10], bytes([bundle[0] ^ 1]) + bundle[1:], b""):
        corrupt.write_bytes(damaged)
        with pytest.raises(RuntimeError, match="^Failed to load the Orlune model$"):
            OrluneNC(sample_rate=48000, attenuation_limit_db=1.0, model_path=corrupt)
    corrupt.write_bytes(bundle)
    session = OrluneNC(sample_rate=48000, attenuation_limit_db=1.0, model_path=corrupt)
    assert session.process_frame(np.zeros(480, np.int16)).shape == (480,)
    session.close()


@pytest.mark.parametrize("kind", ["fifo", "directory"])
def test_command_line_refuses_what_is_not_an_audio_file(tmp_path: Path, kind: str) -> None:
    """A FIFO given as input used to block the command forever."""
    source = tmp_path / "in.wav"
    if kind == "fifo":
        os.mkfifo(source)
    else:
        source.mkdir()
    result = subprocess.run(
        [sys.executable, "-m", "orlune", "denoise", str(source), "-o", str(tmp_path / "out.wav")],
        capture_output=True, text=True, timeout=60, check=False,
    )  # fmt: skip
    assert result.returncode == 1, result
    expected = "not a regular file" if kind == "fifo" else "is a directory"
    assert expected in result.stderr and not (tmp_path / "out.wav").exists()
