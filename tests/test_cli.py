"""`orlune denoise` end to end on small files generated here."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf

import orlune

from orlune.__main__ import main
from orlune._pipeline import DenoisePipeline
from orlune import _file_job
from orlune.cli import progress
from tests.delaying_engine import DelayingProcessor, delaying_engine, speech_like

__all__ = ["delaying_engine"]

# name, rate, channels, frames, subtype: mono and stereo, int16 and float, odd lengths.
FILES = [
    ("mono16.wav", 44100, 1, 8821, "PCM_16"),
    ("stereo16.flac", 16000, 2, 3207, "PCM_16"),
    ("monofloat.wav", 16000, 1, 3331, "FLOAT"),
    ("stereodouble.wav", 44100, 2, 9001, "DOUBLE"),
    ("stereo24.flac", 44100, 2, 4411, "PCM_24"),
    ("mono.ogg", 16000, 1, 4000, "VORBIS"),
    ("resampled.wav", 11025, 1, 2205, "PCM_16"),
    ("gsm.wav", 8000, 1, 1600, "GSM610"),  # libsndfile cannot seek in it
]
SUMMARY = re.compile(
    r"^\S+ -> \S+: [\d.]+ s of audio in [\d.]+ s, real-time factor (?:[\d.]+|n/a),"
    r" mean speech probability (?:[01]\.\d\d|n/a)$"
)


def _write(
    path: Path, rate: int, channels: int, frames: int, subtype: str, scale: float = 1.0
) -> None:
    sf.write(path, speech_like(frames, rate, channels, seed=frames) * scale, rate, subtype=subtype)


@pytest.fixture
def inputs(tmp_path: Path) -> list[Path]:
    paths = []
    for name, *shape in FILES:
        _write(tmp_path / name, *shape)  # type: ignore[arg-type]
        paths.append(tmp_path / name)
    return paths


def _leftovers(root: Path) -> list[Path]:
    return [p for p in root.rglob("*") if p.name.endswith(".part")]


def _read(path: Path) -> np.ndarray:
    dtype = "int16" if sf.info(str(path)).subtype == "PCM_16" else "float64"
    return sf.read(str(path), dtype=dtype, always_2d=True)[0]


def test_outputs_keep_format_and_length_and_are_aligned(
    delaying_engine: type[DelayingProcessor],
    inputs: list[Path],
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
) -> None:
    assert main(["denoise", *map(str, inputs), "--out-dir", str(tmp_path / "out")]) == 0

    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == len(inputs) and all(SUMMARY.match(line) for line in lines)
    for source in inputs:
        target = tmp_path / "out" / source.name
        before, after = sf.info(str(source)), sf.info(str(target))
        assert (after.frames, after.samplerate, after.channels, after.format, after.subtype) == (
            before.frames,
            before.samplerate,
            before.channels,
            before.format,
            before.subtype,
        )
        if after.subtype in ("VORBIS", "GSM610"):  # lossy: re-encoding changes the samples
            continue
        # The stand-in engine only delays, so aligned output is the input again: exactly
        # for 16-bit files, within 16-bit rounding for float ones, and within the
        # resampling error at 11025 Hz (a shift of one sample would give 0.2 there).
        scale = 32768 if after.subtype == "PCM_16" else 1
        error = _read(target) / scale - _read(source) / scale
        if before.samplerate == 11025:
            assert np.sqrt(np.mean(error**2)) < 0.01
        else:
            assert np.abs(error).max() <= (0 if scale > 1 else 0.5 / 32768 + 1e-7)
    assert not _leftovers(tmp_path)


def test_parallel_jobs_from_python_dash_m_report_in_argument_order(
    inputs: list[Path], tmp_path: Path
) -> None:
    # The first file is by far the longest, so it finishes last.
    _write(tmp_path / "long.wav", 16000, 1, 16000 * 30, "PCM_16")
    sources = [tmp_path / "long.wav", *inputs[:3]]
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "orlune",
            "denoise",
            *map(str, sources),
            "--out-dir",
            str(tmp_path / "out"),
            "--jobs",
            "2",
            "--attenuation-limit",
            "24",
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert [line.split(" -> ")[0] for line in run.stdout.splitlines()] == list(map(str, sources))
    for source in sources:
        assert sf.info(str(tmp_path / "out" / source.name)).frames == sf.info(str(source)).frames


def test_steady_noise_is_clearly_reduced(tmp_path: Path) -> None:
    rng = np.random.default_rng(11)
    sf.write(tmp_path / "hiss.wav", 0.05 * rng.standard_normal(48000), 16000, subtype="PCM_16")
    assert main(["denoise", str(tmp_path / "hiss.wav"), "-q"]) == 0
    before, after = _read(tmp_path / "hiss.wav"), _read(tmp_path / "hiss.clean.wav")
    if np.array_equal(before, after):
        pytest.skip("the installed engine is the pass-through placeholder")
    settled = slice(32000, None)  # the last second, once the noise estimate has settled
    reduction = 20 * np.log10(np.std(before[settled]) / np.std(after[settled]))
    assert reduction > 10


def _setup(tmp_path: Path) -> None:
    _write(tmp_path / "in.wav", 16000, 1, 1601, "PCM_16")
    _write(tmp_path / "float.wav", 16000, 1, 1601, "FLOAT")
    (tmp_path / "notes.wav").write_text("not audio")
    _write(tmp_path / "in.aiff", 16000, 1, 1601, "PCM_16")
    _write(tmp_path / "taken.wav", 16000, 1, 10, "PCM_16")
    _write(tmp_path / "slow.wav", 999, 1, 100, "PCM_16")


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (["missing.wav"], 1, "missing.wav: no such file"),
        (["notes.wav"], 1, "not a readable audio file"),
        (["in.aiff", "-o", "out.wav"], 1, "keeps the input's container; name it with .aiff"),
        (["in.wav", "-o", "in.wav"], 1, "would overwrite the input"),
        (["in.wav", "-o", "taken.wav"], 1, "exists; use --force"),
        (["in.wav", "-o", "in.wav/out.wav"], 1, "in.wav is not a directory"),
        (["in.wav", "--out-dir", "in.wav/sub"], 1, "in.wav is not a directory"),
        (["float.wav", "-o", "out.flac"], 1, "cannot hold the input's FLOAT"),
        (["in.wav", "float.wav", "-o", "out.wav"], 2, "takes one input"),
        (["in.wav", "--jobs", "0"], 2, "must be at least 1"),
        (["in.wav", "--attenuation-limit", "-3"], 2, "decibels, 0 or more, not -3.0"),
        (["in.wav", "--attenuation-limit", "nan"], 2, "decibels, 0 or more, not nan"),
        (["in.wav", "--no-such-flag"], 2, "unrecognized arguments: --no-such-flag"),
        (["in.wav", "--out-dir", "in.wav"], 1, "in.wav is not a directory"),
        (["slow.wav"], 1, "slow.wav: sample_rate must be a whole number of Hz from 1000"),
        (["in.wav", "--report", "report.jpg"], 2, "must name a .png"),
        ([], 2, "the following arguments are required"),
        (["in.wav", "--scheduler", "tcp://host:8786", "-j", "2"], 2, "--jobs is for this machine"),
        (["in.wav", "--force", "--skip-existing"], 2, "contradict each other"),
        (["memory://nothing-here/**/*.wav"], 1, "memory://nothing-here/**/*.wav: matches no file"),
        (["in.wav", "--out-dir", "nowhere://x"], 1, "nowhere://x/in.wav: "),
    ],
)
def test_errors_exit_non_zero_and_write_nothing(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    args: list[str],
    status: int,
    message: str,
) -> None:
    _setup(tmp_path)
    monkeypatch.chdir(tmp_path)
    before = {p: p.read_bytes() for p in tmp_path.iterdir()}

    assert main(["denoise", *args]) == status

    err = capsys.readouterr().err
    assert message in err
    assert ("usage: orlune denoise" in err) == (status == 2)
    assert {p: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_missing_matplotlib_is_a_usage_error(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    _write(tmp_path / "in.wav", 16000, 1, 1601, "PCM_16")
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert main(["denoise", str(tmp_path / "in.wav"), "--report", str(tmp_path / "r.png")]) == 2
    assert "pip install 'orlune[report]'" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]


def test_a_failing_file_leaves_no_output_and_the_others_go_on(
    inputs: list[Path],
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
) -> None:
    class FailingAt16k(DenoisePipeline):
        def push(self, frames: np.ndarray) -> np.ndarray:
            out = super().push(frames)
            if self.sample_rate == 16000:
                raise OSError("disk on fire")  # after the first block was written
            return out

    monkeypatch.setattr(_file_job, "DenoisePipeline", FailingAt16k)
    out = tmp_path / "out"
    assert main(["denoise", *map(str, inputs), "--out-dir", str(out), "--force"]) == 1

    failed = {p.name for p in inputs if sf.info(str(p)).samplerate == 16000}
    assert capsys.readouterr().err.count("disk on fire") == len(failed)
    assert {p.name for p in out.iterdir()} == {p.name for p in inputs} - failed
    assert not _leftovers(tmp_path)


def test_float_beyond_full_scale_warns_once_and_force_overwrites(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    _write(tmp_path / "loud.wav", 16000, 2, 4001, "FLOAT", scale=4.0)
    (tmp_path / "loud.clean.wav").write_bytes(b"old")
    assert main(["denoise", str(tmp_path / "loud.wav"), "--force", "--quiet"]) == 0
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("warning") == 1
    assert "loud.wav" in captured.err and "clipped" in captured.err
    assert np.abs(_read(tmp_path / "loud.clean.wav")).max() <= 1.0


def test_report_picture(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("matplotlib")
    from matplotlib.figure import Figure

    titles: list[str] = []
    save = Figure.savefig
    monkeypatch.setattr(
        Figure,
        "savefig",
        lambda figure, *args, **kwargs: (
            titles.extend(axes.get_title(loc="left") for axes in figure.axes),
            save(figure, *args, **kwargs),
        ),
    )
    _write(tmp_path / "in.flac", 16000, 2, 8001, "PCM_16")
    report = tmp_path / "in.png"
    assert main(["denoise", str(tmp_path / "in.flac"), "--report", str(report)]) == 0
    assert f"report: {report}" in capsys.readouterr().out
    assert report.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert titles[:2] == [
        "input: in.flac (mean of its 2 channels)",
        "output: in.clean.flac (mean of its 2 channels)",
    ]


@pytest.mark.parametrize("where", [["-o", "new/dir/out.wav"], ["--out-dir", "new/dir"]])
def test_missing_output_directories_are_made(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, where: list[str]
) -> None:
    monkeypatch.chdir(tmp_path)
    _write(tmp_path / "in.wav", 16000, 1, 1601, "PCM_16")
    assert main(["denoise", "in.wav", *where, "-q"]) == 0
    assert [p.name for p in (tmp_path / "new" / "dir").iterdir()] in (["out.wav"], ["in.wav"])


@pytest.mark.parametrize("enabled", [True, False])
def test_progress_bar_only_on_a_terminal(monkeypatch: pytest.MonkeyPatch, enabled: bool) -> None:
    import io

    clock = iter([0.0, 1.0, 1.5, 2.0])
    monkeypatch.setattr(progress.time, "monotonic", lambda: next(clock))
    stream = io.StringIO()
    bar = progress.ProgressBar(10.0, 2, stream, enabled=enabled)
    bar.advance(5.0)
    bar.file_done(5.0, counted=True)
    bar.advance(1.0)
    drawn = stream.getvalue()
    bar.close()
    shown = "[" + "#" * 18 + "-" * 12 + "]  60%  1/2 files, 0.00 h of audio, 3x real time, ETA 0:01"
    assert (shown in drawn) == enabled
    assert stream.getvalue().endswith("\r\x1b[K") == enabled


@pytest.mark.parametrize("link", ["itself", "symlink", "hard link"])
@pytest.mark.parametrize("order", [1, -1])
def test_no_output_may_be_an_input_of_the_run(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, link: str, order: int
) -> None:
    """`a/x.wav`'s output in `.` would be `./x.wav`, which is (a link to) another input."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a").mkdir()
    _write(tmp_path / "a" / "x.wav", 16000, 1, 1601, "PCM_16")
    _write(tmp_path / "other.wav", 16000, 1, 1602, "PCM_16")
    other = {"itself": "x.wav", "symlink": "other.wav", "hard link": "other.wav"}[link]
    if link == "itself":
        (tmp_path / "other.wav").rename(tmp_path / "x.wav")
    elif link == "symlink":
        (tmp_path / "x.wav").symlink_to("other.wav")
    else:
        (tmp_path / "x.wav").hardlink_to("other.wav")
    before = {p: p.read_bytes() for p in tmp_path.rglob("*.wav")}

    assert main(["denoise", *["a/x.wav", other][::order], "--out-dir", ".", "--force"]) == 1

    assert {p: p.read_bytes() for p in tmp_path.rglob("*.wav")} == before


@pytest.mark.parametrize("unnamed", [True, False], ids=["unnamed temporary", "named temporary"])
def test_sigterm_leaves_no_partial_output(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
    unnamed: bool,
) -> None:
    import os
    import signal

    from orlune import _audio_io

    if not unnamed:
        monkeypatch.setattr(_audio_io, "_open_unnamed", lambda directory: None)
    elif _audio_io._open_unnamed(tmp_path) is None:
        pytest.skip("this file system has no unnamed temporary files")
    _write(tmp_path / "in.wav", 16000, 1, 16000 * 12, "PCM_16")
    seen: list[list[str]] = []

    class TerminatedWhileWriting(DenoisePipeline):
        def push(self, frames: np.ndarray) -> np.ndarray:
            seen.append(sorted(p.name for p in tmp_path.iterdir()))
            if len(seen) == 2:  # after the first block was written
                os.kill(os.getpid(), signal.SIGTERM)
            return super().push(frames)

    monkeypatch.setattr(_file_job, "DenoisePipeline", TerminatedWhileWriting)
    assert main(["denoise", str(tmp_path / "in.wav")]) == 128 + signal.SIGTERM
    assert f"not written: {tmp_path / 'in.clean.wav'}" in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    if unnamed:  # not even for a moment was there a partial file to see
        assert seen == [["in.wav"], ["in.wav"]]


def test_sigint_stops_parallel_workers_and_says_what_is_on_disk(tmp_path: Path) -> None:
    import os
    import signal
    import time

    # Every process of the run (the workers too) takes half a second per 5 s block.
    hooks = tmp_path / "hooks"
    hooks.mkdir()
    (hooks / "sitecustomize.py").write_text(
        "import time\n"
        "from orlune import _file_job\n"
        "class Slow(_file_job.DenoisePipeline):\n"
        "    def push(self, frames):\n"
        "        time.sleep(0.5)\n"
        "        return super().push(frames)\n"
        "_file_job.DenoisePipeline = Slow\n"
    )
    for name in ("one.wav", "two.wav"):  # 10 s of work each
        _write(tmp_path / name, 8000, 1, 8000 * 100, "PCM_16")
    command = [sys.executable, "-m", "orlune", "denoise", "one.wav", "two.wav", "--out-dir", "out"]
    paths = [str(hooks), *filter(None, [os.environ.get("PYTHONPATH")])]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(paths)}
    run = subprocess.Popen(
        [*command, "-j", "2"], cwd=tmp_path, env=env, stderr=subprocess.PIPE, text=True
    )
    time.sleep(3)  # the workers are started and busy
    run.send_signal(signal.SIGINT)
    _, err = run.communicate(timeout=60)

    assert run.returncode == 130, err
    assert "not written: out/one.wav, out/two.wav" in err
    assert list((tmp_path / "out").iterdir()) == []


def test_short_report_and_clipping_warning_keep_the_terminal_clean(
    tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    pytest.importorskip("matplotlib")
    sf.write(tmp_path / "one.wav", np.array([[3.0, np.inf]]), 16000, subtype="FLOAT")
    args = ["denoise", str(tmp_path / "one.wav"), "--report", str(tmp_path / "r.png")]
    assert main(args) == 0

    out, err = capsys.readouterr()
    assert "real-time factor n/a" in out
    with pytest.warns(orlune.ClippedInputWarning) as caught:
        orlune.denoise(np.array([[3.0, np.inf]]), 16000)
    assert err.splitlines() == [
        f"orlune: warning: {tmp_path / 'one.wav'}: {caught[0].message}",
        f"orlune: warning: {tmp_path / 'one.wav'}: too short to report (less than 32 ms);"
        " no report written",
    ]
