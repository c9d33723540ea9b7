"""Long runs keep memory flat, let every object go and free every engine handle.

Each run is a child interpreter that measures its own resident memory
(/proc/self/statm) after a warm-up of a tenth of the work and again at the end.
The bound, RSS_GROWTH_BOUND, is 2 MiB: the steady state allocates nothing that
lives on, and what the allocator keeps in reserve stays well under 1 MiB here,
while a leak of 24 bytes per block over 10^5 blocks (or 2 KiB per processor
over 10^3 processors, less than one engine frame buffer pair) already exceeds
it. The soaks (ORLUNE_SOAK=1) do ten times the work under the same bound.
Under the sanitizer build, whose ASan quarantine holds freed memory back on
purpose, memory is not judged; the object and handle checks still are.
"""

from __future__ import annotations

import json

from engine_harness import SUPPORT_DIR, PackageCopy, run_python

from .conftest import SOAK, UNDER_ASAN

RSS_GROWTH_BOUND = 2 << 20
# Under the sanitizers memory is not judged, and a tenth of the blocks (still 100 s of
# 48 kHz audio) keeps the run inside its time limit on a busy host.
BLOCKS = 1_000_000 if SOAK else 10_000 if UNDER_ASAN else 100_000
PROCESSORS = 10_000 if SOAK else 1_000
CHILD_TIMEOUT_S = 600.0 if SOAK else 120.0

MEMORY = """
import gc, json, os, weakref

def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""

BLOCK_RUN = """
from orlune import OrluneProcessor

processor = OrluneProcessor()
processor.initialize(48000)
n = processor.frame_length
rng = np.random.default_rng(11)
single = rng.integers(-32768, 32768, n, dtype=np.int16)
batch = rng.integers(-32768, 32768, 100 * n, dtype=np.int16)
wrong = np.zeros(n, dtype=np.float32)

def run(blocks):
    done = 0
    while done < blocks:
        # single blocks, then batches read backwards (the native loop's strided path),
        # with a refused call now and then so error paths are exercised too
        for _ in range(100):
            processor.process(single)
        processor.process(batch[::-1])
        for refused in (wrong, batch[:, None]):
            try:
                processor.process(refused)
            except ValueError:
                pass
        done += 200

run(BLOCKS // 10)
gc.collect()
warm = resident_bytes()
run(BLOCKS - BLOCKS // 10)
gc.collect()
end = resident_bytes()
session = weakref.ref(processor._session)
processor_ref = weakref.ref(processor)
processor.close()
del processor
gc.collect()
assert session() is None and processor_ref() is None, "the processor or its session lived on"
print(json.dumps({"warm": warm, "end": end}))
"""

PROCESSOR_RUN = """
from orlune import OrluneProcessor

frame = np.arange(480, dtype=np.int16)
refs = []

def batch(count):
    for index in range(count):
        processor = OrluneProcessor()
        processor.initialize(48000)
        processor.process(frame)
        refs.append((weakref.ref(processor), weakref.ref(processor._session)))
        if index % 3 == 0:
            processor.close()
        elif index % 3 == 1:
            processor.cycle = processor  # dropped in a reference cycle, never closed
        # else: dropped without close()
        del processor
    gc.collect()
    alive = [pair for pair in refs if pair[0]() is not None or pair[1]() is not None]
    assert alive == [], f"{len(alive)} processors or sessions lived on"
    refs.clear()
    for name in ("live_sessions", "live_models", "bad_handle_calls", "null_handle_calls"):
        assert engine.counter(name) == 0, (name, engine.counter(name))
    engine.reset()  # empties the engine's call log, which would otherwise grow

batch(PROCESSORS // 10)
warm = resident_bytes()
for _ in range(9):
    batch(PROCESSORS // 10)
end = resident_bytes()
print(json.dumps({"warm": warm, "end": end}))
"""


def _check_growth(stdout: str, what: str) -> None:
    figures = json.loads(stdout.strip().splitlines()[-1])
    growth = figures["end"] - figures["warm"]
    if SOAK:  # the figures for the record; run with -s to see them
        print(f"{what}: resident {figures['warm']} -> {figures['end']} bytes ({growth:+d})")
    if not UNDER_ASAN:
        assert growth <= RSS_GROWTH_BOUND, f"resident memory grew by {growth} bytes: {figures}"


def test_blocks_through_one_processor_keep_memory_flat() -> None:
    result = run_python(
        f"BLOCKS = {BLOCKS}\nimport numpy as np\n" + MEMORY + BLOCK_RUN,
        sys_path=[SUPPORT_DIR],
        timeout=CHILD_TIMEOUT_S,
    )
    _check_growth(result.stdout, f"{BLOCKS} blocks")


def test_processors_closed_dropped_or_cycled_free_everything(
    engine_package: PackageCopy,
) -> None:
    result = engine_package.run(
        MEMORY + PROCESSOR_RUN, PROCESSORS=PROCESSORS, timeout=CHILD_TIMEOUT_S
    )
    _check_growth(result.stdout, f"{PROCESSORS} processors")
