"""The LADSPA and LV2 plugins as hosts see them: Debian's host tools on files, and a
ctypes host (tests/support/plugin_host.py) driving the descriptors directly."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from unittest.mock import ANY

import numpy as np
import pytest
import soundfile as sf
from engine_harness import run_python
from numpy.typing import NDArray
from plugin_host import CONTROLS, Plugin, PluginRefused

import orlune

from .hardening.conftest import UNDER_ASAN

LADSPA = "ladspa/orlune.so"
LV2 = "lv2/orlune.lv2/orlune.so"
LABELS = {"orlune_mono": "urn:orlune:mono", "orlune_stereo": "urn:orlune:stereo"}


def needs(*tools: str) -> pytest.MarkDecorator:
    missing = [tool for tool in tools if shutil.which(tool) is None]
    return pytest.mark.skipif(
        bool(missing), reason=f"needs {', '.join(missing)} (Debian packages: see README.md)"
    )


@pytest.fixture(scope="module")
def installed() -> dict[str, Path]:
    """The plugin folders, as `orlune plugins` prints them."""
    result = subprocess.run(
        [sys.executable, "-m", "orlune", "plugins"], capture_output=True, text=True, check=True
    )
    folders = dict(line.split(": ", 1) for line in result.stdout.splitlines())
    assert list(folders) == ["ladspa", "lv2"]
    assert all(Path(folder).is_absolute() for folder in folders.values())
    return {name: Path(folder) for name, folder in folders.items()}


@pytest.fixture(scope="module")
def plugins(installed: dict[str, Path], tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Copies of both plugin folders, away from the package: they must work on their own."""
    root = tmp_path_factory.mktemp("plugins")
    for name, folder in installed.items():
        shutil.copytree(folder, root / name)
    return root


def voiced_burst(
    rate: int, seconds: float, start: float, stop: float, noise: float
) -> NDArray[np.float32]:
    """Seeded white noise with a syllabic harmonic sound from `start` to `stop` (seconds)."""
    t = np.arange(int(seconds * rate)) / rate
    voice = sum(np.sin(2 * np.pi * 150 * k * t) / k for k in range(1, 20))
    syllables = 0.65 - 0.35 * np.cos(2 * np.pi * 4 * (t - start))
    inside = (t >= start) & (t < stop)
    rng = np.random.default_rng(rate)
    audio = noise * rng.standard_normal(t.size) + 0.1 * voice * syllables * inside
    return audio.astype(np.float32)


def level_db(audio: NDArray[np.float32]) -> float:
    return float(10 * np.log10(np.mean(np.square(audio, dtype=np.float64))))


def _number(text: str | None) -> float | None:
    return None if not text else float(text)


def ladspa_ports(analysis: str, label: str) -> list[tuple[object, ...]]:
    """(name, direction, kind, minimum, maximum, default) of each port, from analyseplugin."""
    section = analysis.split(f'Plugin Label: "{label}"')[1].split("Plugin Name:")[0]
    pattern = r'"([^"]+)" (input|output), (audio|control)(?:, ([^,\s]+) to ([^,\s]+))?(?:, default ([^,\s]+))?'
    return [
        (name, direction, kind, *map(_number, bounds))
        for name, direction, kind, *bounds in re.findall(pattern, section)
    ]


def lv2_ports(info: str) -> list[tuple[object, ...]]:
    """The same from lv2info."""
    ports = []
    for block in info.split("\tPort ")[1:]:
        fields = dict(re.findall(r"\t\t(\w+):\s+(.*)", block))
        direction = "input" if "#InputPort" in block else "output"
        kind = "audio" if "#AudioPort" in block else "control"
        bounds = (_number(fields.get(key)) for key in ("Minimum", "Maximum", "Default"))
        ports.append((fields["Name"], direction, kind, *bounds))
    return ports


@needs("analyseplugin", "lv2info", "lv2ls")
def test_both_hosts_see_the_same_ports(plugins: Path) -> None:
    analysis = subprocess.run(
        ["analyseplugin", str(plugins / LADSPA)], capture_output=True, text=True, check=True
    ).stdout
    env = {**os.environ, "LV2_PATH": str(plugins / "lv2")}
    listed = subprocess.run(["lv2ls"], env=env, capture_output=True, text=True, check=True)
    assert sorted(listed.stdout.split()) == sorted(LABELS.values())
    for label, uri in LABELS.items():
        info = subprocess.run(
            ["lv2info", uri], env=env, capture_output=True, text=True, check=True
        ).stdout
        ports = ladspa_ports(analysis, label)
        assert lv2_ports(info) == ports
        channels = 2 if "stereo" in label else 1
        assert [port[:3] for port in ports] == [
            *[(ANY, "input", "audio")] * channels,
            *[(ANY, "output", "audio")] * channels,
            ("Attenuation limit (dB)", "input", "control"),
            ("VAD threshold (%)", "input", "control"),
            ("VAD hold (ms)", "input", "control"),
            ("VAD lookahead (ms)", "input", "control"),
            ("latency", "output", "control"),
            ("Speech probability", "output", "control"),
        ]
        assert ports[2 * channels][3:] == (0.0, 100.0, 100.0)
        assert f"reported by port {2 * channels + 4}" in info


def run_host_tool(tool: str, plugins: Path, source: Path, target: Path, limit: float) -> None:
    if tool == "applyplugin":
        controls = [f"{value:g}" for value in (limit, 0, 200, 0)]
        command = [tool, str(source), str(target), str(plugins / LADSPA), "orlune_mono", *controls]
        env = None
    else:
        command = [
            tool,
            "-i",
            str(source),
            "-o",
            str(target),
            "-c",
            "attenuation_limit",
            f"{limit:g}",
            LABELS["orlune_mono"],
        ]
        env = {**os.environ, "LV2_PATH": str(plugins / "lv2")}
    subprocess.run(command, env=env, capture_output=True, check=True)


# Files carry 16-bit samples, as does the engine's input in orlune.denoise; the plugin
# works on floats and each host writes its output rounded to 16 bits, so the two differ
# by a few steps of 2**-15 at most.
MATCH_TOLERANCE = 4 / 32768


@needs("applyplugin", "lv2apply")
@pytest.mark.parametrize("tool", ["applyplugin", "lv2apply"])
@pytest.mark.parametrize("rate", [48000, 44100])
def test_files_through_host_tools(tool: str, rate: int, plugins: Path, tmp_path: Path) -> None:
    source = tmp_path / "noisy.wav"
    sf.write(source, voiced_burst(rate, 4.0, 1.0, 2.0, noise=0.05), rate, subtype="PCM_16")
    audio, _ = sf.read(source, dtype="float32")
    with Plugin(plugins / LADSPA, False, rate) as plugin:
        latency = int(plugin.get("latency"))
    noise_only = slice(int(2.5 * rate), audio.size - latency)

    def drop_db(limit: float) -> tuple[float, NDArray[np.float32]]:
        target = tmp_path / f"limit{limit:g}.wav"
        run_host_tool(tool, plugins, source, target, limit)
        out, out_rate = sf.read(target, dtype="float32")
        assert (out_rate, out.shape) == (rate, audio.shape)
        aligned = out[latency:]
        return level_db(audio[noise_only]) - level_db(aligned[noise_only]), aligned

    drop, aligned = drop_db(100)
    assert drop >= 10
    reference = orlune.denoise(audio, rate)[: aligned.size]
    np.testing.assert_allclose(aligned, reference, rtol=0, atol=MATCH_TOLERANCE)
    limited_drop, _ = drop_db(6)
    assert 3 <= limited_drop <= 6.1


@pytest.mark.parametrize("library", [LADSPA, LV2])
@pytest.mark.parametrize("stereo", [False, True], ids=["mono", "stereo"])
def test_any_block_sizes_give_one_output(library: str, stereo: bool, plugins: Path) -> None:
    rate = 44100
    channels = 2 if stereo else 1
    audio = np.stack(
        [voiced_burst(rate, 1.5, 0.5 + c / 10, 1.0, noise=0.02) for c in range(channels)]
    )
    changing = [1, 7, 440, 441, 442, 8192, 3, 1000]
    with Plugin(plugins / library, stereo, rate) as plugin:
        # The gate and the lookahead delay are in the path too.
        for control, value in {"vad_threshold": 80, "vad_hold": 50, "vad_lookahead": 30}.items():
            plugin.set(control, value)
        reference = plugin.process(audio, [441])
        for blocks in ([1], [8192], changing):
            plugin.activate()  # a fresh stream, as after deactivate
            np.testing.assert_array_equal(plugin.process(audio, blocks), reference)
    assert level_db(reference) > -60  # not silence compared to silence


def test_voice_gate(plugins: Path) -> None:
    rate, frame, onset, end = 48000, 480, 3.0, 4.0
    audio = voiced_burst(rate, 5.2, onset, end, noise=0.003)[np.newaxis]

    def through(threshold: float, hold: float = 0, lookahead: float = 0, limit: float = 100):
        """Returns the latency, the speech probability of each frame, and a function
        giving the level of the output (aligned with the input) between two times."""
        with Plugin(plugins / LADSPA, False, rate) as plugin:
            for control, value in zip(CONTROLS, (limit, threshold, hold, lookahead)):
                plugin.set(control, value)
            blocks, probability = [], []
            for start in range(0, audio.shape[1], frame):
                blocks.append(plugin.process(audio[:, start : start + frame], [frame])[0])
                probability.append(plugin.get("speech_probability"))
            latency = int(plugin.get("latency"))
        aligned = np.concatenate(blocks)[latency:]

        def level(start: float, stop: float) -> float:
            return level_db(aligned[int(start * rate) : int(stop * rate)])

        return latency, np.array(probability), level

    open_latency, probability, ungated = through(0)
    first, last = int(onset * rate) // frame, int(end * rate) // frame
    # The threshold lies between what the engine makes of the second of noise before the
    # burst and of the burst, whatever the model; it must tell them apart, and hear the
    # burst within 20 ms.
    noise_ceiling, burst = (
        probability[first - 100 : first].max(),
        np.median(probability[first:last]),
    )
    assert burst > noise_ceiling + 0.1
    threshold = 50 * (noise_ceiling + burst)
    speech = probability >= threshold / 100
    assert speech[first : first + 2].any()
    # The first frame heard as speech no more, after the burst (the engine lags a little).
    quiet = last + int(np.argmin(speech[last:]))
    quiet_time = quiet * frame / rate
    after = (quiet_time + 0.1, quiet_time + 0.18)

    # With lookahead the first 20 ms of the onset come through whole.
    latency, _, gated = through(threshold, hold=300, lookahead=50)
    assert latency == open_latency + 50 * rate // 1000
    assert gated(onset, onset + 0.02) == pytest.approx(ungated(onset, onset + 0.02), abs=0.5)
    # Open for the hold time after speech, pulled down to the input less the limit after it.
    dry = level_db(audio[0, int((quiet_time + 0.4) * rate) : int((quiet_time + 0.8) * rate)])
    assert gated(*after) == pytest.approx(ungated(*after), abs=0.5)
    assert gated(quiet_time + 0.4, quiet_time + 0.8) == pytest.approx(dry - 100, abs=1)
    # Without hold the gate closes at once; a 12 dB limit leaves the input 12 dB down.
    _, _, short = through(threshold, hold=0, limit=12)
    dry = level_db(audio[0, int(after[0] * rate) : int(after[1] * rate)])
    assert short(*after) == pytest.approx(dry - 12, abs=0.5)


# LADSPA rates are whole numbers; LV2 hosts may give any.
@pytest.mark.parametrize(
    ("library", "rate"),
    [(LADSPA, 11025), (LADSPA, 96000), (LV2, 11025), (LV2, 96000), (LV2, 44100.5)],
)
def test_unsupported_rates_are_refused(library: str, rate: float, plugins: Path) -> None:
    for stereo in (False, True):
        with pytest.raises(PluginRefused):
            Plugin(plugins / library, stereo, rate)


def test_a_plugin_without_its_model_is_refused(plugins: Path, tmp_path: Path) -> None:
    copy = shutil.copytree(plugins / "ladspa", tmp_path / "ladspa")
    for bundle in copy.glob("*.bin"):
        bundle.unlink()
    with pytest.raises(PluginRefused):
        Plugin(copy / "orlune.so", False, 48000)


@needs("applyplugin")
def test_applyplugin_says_why_a_rate_is_refused(plugins: Path, tmp_path: Path) -> None:
    source = tmp_path / "in.wav"
    sf.write(source, np.zeros(1000, np.float32), 11025)
    result = subprocess.run(
        [
            "applyplugin",
            str(source),
            str(tmp_path / "out.wav"),
            str(plugins / LADSPA),
            "orlune_mono",
            "100",
            "0",
            "200",
            "0",
        ],
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode != 0
    rates = "8000, 16000, 22050, 24000, 32000, 44100 or 48000"  # as the engine lists them
    assert f"orlune: 11025 Hz is not supported; open the plugin at {rates} Hz" in result.stderr


CYCLES = """
import ctypes, os
from pathlib import Path
from plugin_host import Plugin

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def cycle(count):
    for _ in range(count):
        for library in LIBRARIES:
            for stereo in (False, True):
                Plugin(Path(library), stereo, 48000).close()

cycle(CYCLES // 2)
before = resident_bytes()
cycle(CYCLES - CYCLES // 2)
if UNDER_ASAN:
    # The interpreter's own memory is still reachable here, unlike at exit.
    leaked = ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
    os._exit(3 if leaked else 0)
print(resident_bytes() - before)
"""


def test_instances_leave_nothing_behind(plugins: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # Each instance loads the model (the learned one has 800 KiB of weights) and holds
    # engine streams and buffers: 400 lost ones would be over 300 MiB, against an
    # allocator's reserve of well under 2 MiB.
    if UNDER_ASAN:
        monkeypatch.setenv(
            "ASAN_OPTIONS", os.environ["ASAN_OPTIONS"].replace("detect_leaks=0", "detect_leaks=1")
        )
    libraries = [str(plugins / LADSPA), str(plugins / LV2)]
    # The leak checker finds a single lost block, so a few cycles do under the sanitizer.
    cycles = 20 if UNDER_ASAN else 200
    script = f"LIBRARIES, CYCLES, UNDER_ASAN = {libraries!r}, {cycles}, {UNDER_ASAN}\n" + CYCLES
    result = run_python(script, sys_path=[Path(__file__).parent / "support"])
    if not UNDER_ASAN:
        assert int(result.stdout) < 2 << 20


# A PipeWire daemon of its own, without a session manager: the test links the nodes and
# sets their ports up itself, as a session manager would.
PIPEWIRE_CONF = """
context.properties = { core.daemon = true core.name = orlune-test }
context.spa-libs = {
    audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support
}
context.modules = [
    { name = libpipewire-module-protocol-native }
    { name = libpipewire-module-metadata }
    { name = libpipewire-module-spa-node-factory }
    { name = libpipewire-module-client-node }
    { name = libpipewire-module-access }
    { name = libpipewire-module-adapter }
    { name = libpipewire-module-link-factory }
]
context.objects = [
    { factory = spa-node-factory
      args = { factory.name = support.node.driver node.name = driver priority.driver = 1 } }
]
"""


@needs("pipewire", "pw-cat", "pw-cli", "pw-link", "pw-dump")
def test_the_readme_pipewire_microphone(plugins: Path, tmp_path: Path) -> None:
    readme = (Path(__file__).parents[1] / "README.md").read_text()
    fragment = re.search(r"```\n(context\.modules = \[\n.*?)```", readme, re.DOTALL)
    assert fragment is not None
    conf = tmp_path / "conf"
    (conf / "pw.conf.d").mkdir(parents=True)
    (conf / "pw.conf").write_text(PIPEWIRE_CONF)
    (conf / "pw.conf.d" / "orlune-mic.conf").write_text(
        re.sub(r'plugin = "[^"]*"', f'plugin = "{plugins / LADSPA}"', fragment.group(1))
    )
    (tmp_path / "run").mkdir()
    env = {**os.environ, "XDG_RUNTIME_DIR": str(tmp_path / "run"), "PIPEWIRE_REMOTE": "orlune-test"}
    rate = 48000
    source, recorded = tmp_path / "noisy.wav", tmp_path / "recorded.wav"
    audio = voiced_burst(rate, 7.0, 3.0, 4.0, noise=0.05)
    sf.write(source, audio, rate, subtype="PCM_16")

    def pw(*command: str) -> str:
        return subprocess.run(
            command, env=env, capture_output=True, text=True, timeout=10, check=True
        ).stdout

    def until(done: Callable[[], object]) -> None:
        failure = ""
        for _ in range(50):
            try:
                if done():
                    return
            except subprocess.CalledProcessError as error:
                failure = error.stderr
            time.sleep(0.1)
        raise AssertionError(f"PipeWire did not get there in 5 s: {failure}")

    processes = [
        subprocess.Popen(
            ["pipewire", "-c", "pw.conf"],
            env={**env, "PIPEWIRE_CONFIG_DIR": str(conf)},
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
    ]
    try:
        until(lambda: "orlune.capture" in pw("pw-dump"))
        record = ["--record", str(recorded), *f"--rate {rate} --channels 1 --format f32".split()]
        for name, args in (("test.rec", record), ("test.play", ["--playback", str(source)])):
            command = ["pw-cat", "-P", f"{{ node.name = {name} }}", *args]
            quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
            processes.append(subprocess.Popen(command, env=env, **quiet))
        nodes: dict[str, int] = {}

        def find_nodes() -> bool:
            for node in json.loads(pw("pw-dump")):
                name = node.get("info", {}).get("props", {}).get("node.name")
                if name is not None:
                    nodes[name] = node["id"]
            return {"orlune.capture", "orlune", "test.rec", "test.play"} <= nodes.keys()

        until(find_nodes)
        # What a session manager does: each stream gets one port per channel.
        layout = f"mediaType: audio, mediaSubtype: raw, format: F32P, rate: {rate}"
        for name in ("orlune.capture", "test.rec", "orlune", "test.play"):
            direction = "Input" if name in ("orlune.capture", "test.rec") else "Output"
            mono = "channels: 1, position: [ MONO ]"
            config = f"{{ direction: {direction}, mode: dsp, format: {{ {layout}, {mono} }} }}"
            pw("pw-cli", "set-param", str(nodes[name]), "PortConfig", config)
        until(lambda: pw("pw-link", "orlune:capture_MONO", "test.rec:input_MONO") is not None)
        until(
            lambda: pw("pw-link", "test.play:output_MONO", "orlune.capture:input_MONO") is not None
        )
        processes[-1].wait(timeout=30)
        time.sleep(0.3)
    finally:
        for process in reversed(processes):
            process.terminate()
            process.wait(timeout=10)
    out, _ = sf.read(recorded, dtype="float32")
    with Plugin(plugins / LADSPA, False, rate) as plugin:
        expected = plugin.process(audio[np.newaxis], [256])[0]
    # The recording starts when the nodes are linked, and the plugin may have run on
    # silence before the file came: find the burst, and judge what follows the engine's
    # two seconds of catching up with the noise.
    burst = slice(3 * rate, 4 * rate)
    offset = int(np.argmax(np.correlate(out, expected[burst], "valid"))) - 3 * rate
    aligned = out[offset : offset + audio.size]
    assert level_db(aligned[burst]) == pytest.approx(level_db(expected[burst]), abs=1)
    noise_only = slice(5 * rate, int(6.5 * rate))
    assert level_db(audio[noise_only]) - level_db(aligned[noise_only]) >= 10
