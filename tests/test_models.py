"""Choosing a packaged model by id, and how deep each packaged model suppresses noise."""

from __future__ import annotations

import hashlib
import json
import math
import shutil
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pytest
import soundfile as sf
from numpy.typing import NDArray

import orlune
from orlune import _model_store
from orlune.__main__ import main

ROOT = Path(__file__).resolve().parents[1]
INSTALLED_RESOURCES = Path(orlune.__file__).resolve().parent / "resources"
LIMITS = [6.0, 12.0, 24.0, 40.0, math.inf]


def white_noise(rate: int, seconds: float, seed: int = 5) -> NDArray[np.float32]:
    return (0.05 * np.random.default_rng(seed).standard_normal(int(rate * seconds))).astype(np.float32)


def drop_db(before: NDArray[Any], after: NDArray[Any]) -> float:
    """How far the second half (the noise estimate has settled by then) was pulled down."""
    settled = slice(len(before) // 2, None)
    return float(20 * np.log10(np.std(before[settled]) / np.std(after[settled])))


@pytest.fixture
def add_model(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, make_bundle: ModuleType
) -> Callable[..., None]:
    """Points the model store at a copy of the packaged models and adds (or replaces)
    an index entry whose bundle never suppresses more than 6 dB."""
    resources = tmp_path / "resources"
    shutil.copytree(INSTALLED_RESOURCES / "models", resources / "models")
    monkeypatch.setattr(_model_store, "_resources_dir", lambda: resources)

    def add(model_id: str, version: str) -> None:
        data = make_bundle.encode_bundle({**make_bundle.DEFAULT_PARAMETERS, "gain.floor_db": [-6.0]})
        (resources / "models" / "shallow.bin").write_bytes(data)
        index_path = resources / "models" / "index.json"
        index = json.loads(index_path.read_text())
        entry = {"id": model_id, "version": version, "file": "shallow.bin",
                 "sha256": hashlib.sha256(data).hexdigest()}
        index["models"] = [m for m in index["models"] if m["id"] != model_id] + [entry]
        index_path.write_text(json.dumps(index))

    return add


def _through_stream(noise: NDArray[np.float32], rate: int, model: str) -> NDArray[Any]:
    with orlune.StreamDenoiser(rate, model=model) as stream:
        assert stream.model == model
        return np.concatenate([stream.process(part) for part in np.array_split(noise, 7)] + [stream.flush()])


def _through_cli(noise: NDArray[np.float32], rate: int, model: str, tmp_path: Path) -> NDArray[Any]:
    sf.write(tmp_path / "noise.wav", noise, rate, subtype="FLOAT")
    assert main(["denoise", str(tmp_path / "noise.wav"), "-q", "-f", "--model", model]) == 0
    out, _ = sf.read(tmp_path / "noise.clean.wav", dtype="float32")
    return out


ROUTES: dict[str, Callable[[NDArray[np.float32], int, str, Path], NDArray[Any]]] = {
    "denoise": lambda noise, rate, model, _: orlune.denoise(noise, rate, model=model),
    "StreamDenoiser": lambda noise, rate, model, _: _through_stream(noise, rate, model),
    "command line": _through_cli,
}


@pytest.mark.parametrize("route", ROUTES.values(), ids=ROUTES.keys())
def test_a_model_is_chosen_by_id_once_the_index_lists_it(
    add_model: Callable[..., None], tmp_path: Path, route: Callable[..., NDArray[Any]]
) -> None:
    add_model("orlune-nc-shallow", "7")
    noise = white_noise(16000, 3.0)
    assert drop_db(noise, route(noise, 16000, "orlune-nc-default", tmp_path)) > 12
    assert drop_db(noise, route(noise, 16000, "orlune-nc-shallow", tmp_path)) < 6.5


def test_the_processor_default_follows_the_version_the_index_lists(
    add_model: Callable[..., None],
) -> None:
    add_model("orlune-nc-default", "2")
    processor = orlune.OrluneProcessor()
    try:
        artifact = processor._model_artifact
        assert (artifact.model_id, artifact.model_version, artifact.path.name) == (
            "orlune-nc-default", "2", "shallow.bin")
        processor.initialize(16000)
        pcm = (white_noise(16000, 3.0) * 32768).astype(np.int16)
        assert drop_db(pcm, processor.process(pcm)) < 6.5
    finally:
        processor.close()


UNKNOWN = {
    "denoise": lambda: orlune.denoise(np.zeros(480, np.int16), 48000, model="orlune-nc-nope"),
    "StreamDenoiser": lambda: orlune.StreamDenoiser(48000, model="orlune-nc-nope"),
}


@pytest.mark.parametrize("route", [*UNKNOWN, "command line"])
def test_an_unknown_model_id_names_the_packaged_ones(
    route: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    if route in UNKNOWN:
        with pytest.raises(orlune.UnknownModelError) as caught:
            UNKNOWN[route]()
        assert isinstance(caught.value, ValueError)
        message = str(caught.value)
    else:  # a usage error: exit status 2, the subcommand's usage, nothing written
        sf.write(tmp_path / "in.wav", white_noise(16000, 0.5), 16000)
        assert main(["denoise", str(tmp_path / "in.wav"), "--model", "orlune-nc-nope"]) == 2
        message = capsys.readouterr().err
        assert "usage: orlune denoise" in message
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
    assert "'orlune-nc-nope'" in message
    assert all(model.model_id in message for model in orlune.packaged_models())


def test_models_and_their_deepest_suppression_are_listed(capsys: pytest.CaptureFixture[str]) -> None:
    assert main(["models"]) == 0
    listed = capsys.readouterr().out.splitlines()
    assert main(["denoise", "--help"]) == 0
    help_text = " ".join(capsys.readouterr().out.split())
    models = orlune.packaged_models()
    assert len(listed) == len(models)
    for line, model in zip(listed, models):
        assert line.split()[:3] == [model.model_id, "version", model.model_version]
        assert f"deepest suppression {model.max_suppression_db:g} dB" in line
        assert f"{model.model_id} {model.max_suppression_db:g} dB" in help_text
    assert [line.endswith("(the default)") for line in listed] == [
        model.model_id == "orlune-nc-default" for model in models]


@pytest.mark.parametrize("rate", [16000, 48000])
@pytest.mark.parametrize("model", orlune.packaged_models(), ids=lambda model: model.model_id)
def test_noise_drop_follows_the_limit_down_to_the_models_stated_maximum(
    model: orlune.PackagedModel, rate: int
) -> None:
    deepest = model.max_suppression_db
    assert deepest is not None, f"state how deep {model.model_id} goes in MAX_SUPPRESSION_DB"
    noise = white_noise(rate, 6.0)
    drops = {limit: drop_db(noise, orlune.denoise(noise, rate, attenuation_limit_db=limit,
                                                  model=model.model_id)) for limit in LIMITS}
    for limit, drop in drops.items():
        # Output samples are truncated toward zero, which takes a little more off a signal
        # only a few steps of the 16-bit grid high: the bound is that of the noise itself
        # scaled down by the allowed depth and truncated the same way.
        scaled = noise * np.float32(10 ** (-min(limit, deepest) / 20))
        bound = drop_db(noise, np.trunc(scaled * 32768) / 32768)
        assert drop <= bound + 0.5, f"limit {limit} (bound {bound:.2f} dB): {drops}"
        if limit < deepest:
            # Met when well inside what the model does unaided; near that depth the two combine.
            slack = 1.5 if limit + 6 <= drops[math.inf] else 3.0
            assert drop >= min(limit, drops[math.inf]) - slack, f"limit {limit} not reached: {drops}"
        else:  # the stated maximum is what the model does, whatever a higher limit says
            assert drop == pytest.approx(drops[math.inf], abs=0.05), drops
    # Without a limit a model goes close to its floor on steady noise; a learned one at least 40 dB.
    assert drops[math.inf] >= min(deepest - 4, 40), drops
