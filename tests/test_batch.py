"""Batches: fsspec URLs, globs, manifests, resuming, and a Dask cluster of two worker processes."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest
import soundfile as sf

import orlune.batch
from orlune.__main__ import main
from tests.delaying_engine import speech_like

fsspec = pytest.importorskip("fsspec")
distributed = pytest.importorskip("distributed")

# Makes every process that imports it take 0.15 s per block of audio, so that a
# batch lasts long enough to be interrupted.
SLOW_HOOK = """\
import time
from orlune import _file_job
class Slow(_file_job.DenoisePipeline):
    def push(self, frames):
        time.sleep(0.15)
        return super().push(frames)
_file_job.DenoisePipeline = Slow
"""


def write_wav(path: Path, seconds: float, seed: int, rate: int = 8000) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    audio = speech_like(int(seconds * rate), rate, 1, seed=seed)
    sf.write(path, audio, rate, subtype="PCM_16")


def visible_files(root: Path) -> dict[str, bytes]:
    return {
        str(path.relative_to(root)): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file() and not path.name.startswith(".")
    }


def slow_environment(tmp_path: Path) -> dict[str, str]:
    hooks = tmp_path / "hooks"
    hooks.mkdir(exist_ok=True)
    (hooks / "sitecustomize.py").write_text(SLOW_HOOK)
    paths = [str(hooks), *filter(None, [os.environ.get("PYTHONPATH")])]
    return {"PYTHONPATH": os.pathsep.join(paths)}


def statuses_by_name(manifest: Path, key: str) -> dict[str, str]:
    lines = [json.loads(line) for line in manifest.read_text().splitlines()]
    return {Path(line[key]).name: line["status"] for line in lines}




def test_memory_urls_globs_manifest_and_skip_existing(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    memory = fsspec.filesystem("memory")
    write_wav(tmp_path / "a.wav", 1.5, seed=1)
    write_wav(tmp_path / "deep" / "b.flac", 0.5, seed=2)
    for local in (tmp_path / "a.wav", tmp_path / "deep" / "b.flac"):
        memory.put_file(str(local), f"/batch/in/{local.relative_to(tmp_path)}")
    memory.pipe_file("/batch/in/deep/er/broken.wav", b"RIFF....WAVEjunk")
    memory.pipe_file("/batch/in/.a.wav.1234.part", b"a partial upload")
    manifest = tmp_path / "run.jsonl"
    # Not the default model: the manifest names the model each file really ran.
    model = next(m for m in orlune.packaged_models() if m.model_id != "orlune-nc-default")
    command = ["denoise", "memory://batch/in/**", "--out-dir", "memory://batch/out"]
    command += ["--model", model.model_id]

    assert main([*command, "--manifest", str(manifest)]) == 1

    lines = [json.loads(line) for line in manifest.read_text().splitlines()]
    by_name = {Path(line["input"]).name: line for line in lines}
    assert sorted(by_name) == ["a.wav", "b.flac", "broken.wav"]
    assert by_name["broken.wav"]["status"] == "failed"
    assert "broken.wav" in by_name["broken.wav"]["error"]
    for name, relative in (("a.wav", "a.wav"), ("b.flac", "deep/b.flac")):
        line = by_name[name]
        assert line["status"] == "ok" and line["error"] is None
        assert line["output"] == f"memory://batch/out/{relative}"
        source = next(tmp_path.rglob(name))
        assert line["audio_seconds"] == pytest.approx(sf.info(str(source)).duration)
        assert line["processing_seconds"] > 0 and 0 <= line["mean_speech_probability"] <= 1
        assert (line["model_id"], line["model_version"]) == (model.model_id, model.model_version)
        assert line["orlune_version"] == orlune.__version__
    assert "1 failed" in capsys.readouterr().err
    written = memory.cat_file("/batch/out/a.wav")
    local = tmp_path / "local.wav"
    assert main(["denoise", str(tmp_path / "a.wav"), "-o", str(local), "-q", *command[-2:]]) == 0
    assert written == local.read_bytes()
    assert not [path for path in memory.find("/batch/out") if ".part" in path]

    assert main([*command, "--skip-existing", "--manifest", str(manifest), "-q"]) == 1
    resumed = statuses_by_name(manifest, "input")
    assert resumed == {"a.wav": "skipped", "b.flac": "skipped", "broken.wav": "failed"}


def test_skip_existing_resumes_a_killed_run_over_file_urls(tmp_path: Path) -> None:
    names = [f"take{index}.wav" for index in range(4)]
    for index, name in enumerate(names):
        write_wav(tmp_path / "in" / name, 10.0, seed=index)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "orlune", "denoise", str(tmp_path / "in" / "*.wav")]
    command += ["--out-dir", f"file://{out}", "-q"]
    run = subprocess.Popen(command, env={**os.environ, **slow_environment(tmp_path)})
    deadline = time.monotonic() + 60
    while not (out.is_dir() and visible_files(out)) and time.monotonic() < deadline:
        time.sleep(0.02)
    run.send_signal(signal.SIGKILL)
    run.wait()
    done_before = set(visible_files(out))
    assert done_before and done_before != set(names), "the run was not interrupted mid-batch"

    manifest = tmp_path / "resume.jsonl"
    resume = [*command, "--skip-existing", "--manifest", str(manifest)]
    assert subprocess.run(resume).returncode == 0

    expected = {name: "skipped" if name in done_before else "ok" for name in names}
    assert statuses_by_name(manifest, "output") == expected
    fresh = tmp_path / "fresh"
    assert main(["denoise", str(tmp_path / "in"), "--out-dir", str(fresh), "-q"]) == 0
    assert visible_files(out) == visible_files(fresh)


@pytest.fixture(scope="module")
def cluster() -> Iterator[Any]:
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as local_cluster, distributed.Client(local_cluster, set_as_default=False) as client:
        client.run(exec, SLOW_HOOK, {})  # a worker started later is not slowed
        yield local_cluster, client


@pytest.fixture
def twenty_inputs(tmp_path: Path) -> tuple[list[str], dict[str, bytes]]:
    """20 file:// URLs (18 good, one corrupt, one missing) and the good ones denoised here."""
    sources = tmp_path / "in"
    for index in range(18):
        write_wav(sources / f"clip{index:02d}.wav", 6.0, seed=index)
    (sources / "corrupt.wav").write_bytes(b"RIFF\x10\x00\x00\x00WAVEfmt nothing")
    inputs = [f"file://{path}" for path in sorted(sources.iterdir())]
    inputs.append(f"file://{sources / 'missing.wav'}")
    local = tmp_path / "local"
    records = orlune.batch.denoise_files(inputs, out_dir=local)
    assert [record.status for record in records].count("ok") == 18
    return inputs, visible_files(local)


def test_cluster_outputs_equal_local_ones_and_failures_stay_per_file(
    cluster: Any, twenty_inputs: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    local_cluster, _ = cluster
    inputs, expected = twenty_inputs
    out = tmp_path / "cluster"
    manifest = tmp_path / "cluster.jsonl"
    arguments = ["denoise", *inputs, "--out-dir", str(out), "--manifest", str(manifest)]

    assert main([*arguments, "--scheduler", local_cluster.scheduler_address]) == 1

    assert visible_files(out) == expected
    failures = [json.loads(line) for line in manifest.read_text().splitlines()]
    failures = [line for line in failures if line["status"] == "failed"]
    assert sorted(Path(line["input"]).name for line in failures) == ["corrupt.wav", "missing.wav"]
    assert any("missing.wav: no such file" in line["error"] for line in failures)
    assert "18 ok, 0 skipped, 2 failed" in capsys.readouterr().err


def test_a_worker_killed_mid_batch_still_gives_every_good_output(
    cluster: Any, twenty_inputs: Any, tmp_path: Path
) -> None:
    _, client = cluster
    inputs, expected = twenty_inputs
    out = tmp_path / "cluster"
    records: list[orlune.batch.FileRecord] = []
    def run() -> None:
        records.extend(orlune.batch.denoise_files(inputs, out_dir=out, client=client))

    batch = threading.Thread(target=run)
    batch.start()
    deadline = time.monotonic() + 60
    while len(visible_files(out) if out.is_dir() else {}) < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
    victim = next(iter(client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    finished_before_the_kill = len(visible_files(out))
    batch.join(timeout=120)

    assert 2 <= finished_before_the_kill < 18
    assert [record.status for record in records].count("ok") == 18
    assert visible_files(out) == expected
    client.wait_for_workers(2, timeout=60)


def test_importing_orlune_loads_no_batch_dependency() -> None:
    code = (
        "import sys, orlune, orlune.batch, orlune.cli.main\n"
        "assert orlune.batch.denoise_files\n"
        "print(sorted({'av', 'fsspec', 'dask', 'distributed'} & set(sys.modules)))"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"
