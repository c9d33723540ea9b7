"""`orlune denoise`: checks the arguments, runs the files, prints what happened."""

from __future__ import annotations

import math
import signal
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TextIO

from .._audio_io import AudioFileError
from .._file_job import FAILED, OK, SKIPPED, FileRecord, failed
from .._storage import StorageError, is_url
from ..batch import ClusterError
from .args import (
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_SOME_FAILED,
    EXIT_USAGE,
    Options,
    ShowModels,
    ShowPlugins,
    parse,
)
from .jobs import STOP_SIGNALS, FileResult, StopRequested, raise_stop, run_all
from .models import show_models
from .plan import FileTask, missing_directories, plan
from .plugins import show_plugins
from .progress import ProgressBar

# Below this much audio a file's real-time factor measures start-up, not denoising.
_SHORTEST_TIMED_SECONDS = 1.0


def _error(message: str) -> None:
    print(f"orlune: error: {message}", file=sys.stderr, flush=True)


def summary_line(result: FileResult) -> str:
    record = result.record
    if record.status == SKIPPED:
        return f"{record.input} -> {record.output}: skipped, the output exists"
    duration = record.audio_seconds
    speed = "n/a"
    if duration >= _SHORTEST_TIMED_SECONDS:
        speed = f"{record.processing_seconds / duration:.3f}"
    speech = record.mean_speech_probability
    speech_text = "n/a" if math.isnan(speech) else f"{speech:.2f}"
    return (
        f"{record.input} -> {record.output}: {duration:.1f} s of audio in"
        f" {record.processing_seconds:.2f} s, real-time factor {speed},"
        f" mean speech probability {speech_text}"
    )


def totals_line(records: list[FileRecord], wall_seconds: float) -> str:
    counts = {status: 0 for status in (OK, SKIPPED, FAILED)}
    for record in records:
        counts[record.status] += 1
    audio = sum(record.audio_seconds for record in records if record.status == OK)
    speed = f"{wall_seconds / audio:.3f}" if audio >= _SHORTEST_TIMED_SECONDS else "n/a"
    return (
        f"orlune: {counts[OK]} ok, {counts[SKIPPED]} skipped, {counts[FAILED]} failed;"
        f" {audio / 3600:.3f} h of audio in {wall_seconds:.1f} s, real-time factor {speed}"
    )


@contextmanager
def _stopping_on_termination() -> Iterator[None]:
    """SIGTERM and SIGHUP stop the run as Ctrl-C does, so that no partial file stays."""
    try:
        previous = {signum: signal.signal(signum, raise_stop) for signum in STOP_SIGNALS}
    except ValueError:  # not the main thread: signals cannot be handled here
        yield
        return
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _make_directories(tasks: list[FileTask]) -> tuple[list[FileTask], list[tuple[str, str]]]:
    """Makes the missing output directories; drops the tasks whose directories cannot be made."""
    ready, errors = [], []
    for task in tasks:
        local_target = None if is_url(task.target) else Path(task.target)
        try:
            for path in (local_target, task.report):
                for directory in missing_directories(path) if path is not None else []:
                    try:
                        directory.mkdir(exist_ok=True)
                    except OSError as error:
                        raise AudioFileError(
                            f"cannot create the directory {directory}: {error.strerror or error}"
                        ) from None
        except AudioFileError as error:
            errors.append((task.source, str(error)))
            continue
        ready.append(task)
    return ready, errors


def _run(options: Options) -> int:
    if options.report is not None:
        from .._report import MatplotlibMissing, require_matplotlib

        try:
            require_matplotlib()
        except MatplotlibMissing as missing:
            _error(str(missing))
            return EXIT_USAGE

    started = time.perf_counter()
    tasks, refusals = plan(options)
    tasks, not_made = _make_directories(tasks)
    for _, refusal in refusals + not_made:
        _error(refusal)
    failures = len(refusals) + len(not_made)
    records = [failed(source, "", refusal) for source, refusal in refusals + not_made]
    try:
        manifest = _open_manifest(options.manifest, records)
    except OSError as error:
        _error(f"{options.manifest}: cannot write the manifest: {error.strerror or error}")
        return EXIT_USAGE
    finished: set[int] = set()  # tasks with a result, by id
    known = all(task.seconds > 0 for task in tasks)
    bar = ProgressBar(
        sum(task.seconds for task in tasks) if known else 0.0,
        len(tasks),
        sys.stderr,
        enabled=not options.quiet and sys.stderr.isatty(),
    )

    def report(result: FileResult) -> None:
        nonlocal failures
        finished.add(id(result.task))
        records.append(result.record)
        if manifest is not None:
            manifest.write(result.record.manifest_line() + "\n")
            manifest.flush()
        bar.file_done(result.record.audio_seconds, counted=options.scheduler is None)
        if result.record.clipped is not None:
            bar.print_line(
                f"orlune: warning: {result.task.source}: {result.record.clipped}", sys.stderr
            )
        if result.error is not None:
            failures += 1
            bar.print_line(f"orlune: error: {result.error}", sys.stderr)
            return
        if not options.quiet:
            bar.print_line(summary_line(result), sys.stdout)
        if result.report_error is not None:
            failures += 1
            bar.print_line(f"orlune: error: {result.report_error}", sys.stderr)
        elif result.report_warning is not None:
            bar.print_line(f"orlune: warning: {result.report_warning}", sys.stderr)
        elif result.task.report is not None and not options.quiet:
            bar.print_line(f"report: {result.task.report}", sys.stdout)

    try:
        with _stopping_on_termination():
            run_all(tasks, options.jobs, bar.advance, report, options.scheduler)
    except (KeyboardInterrupt, StopRequested) as stop:
        bar.close()
        unfinished = [str(task.target) for task in tasks if id(task) not in finished]
        # A cluster's workers finish the files they had begun; only the rest are dropped.
        what = "not reported done" if options.scheduler else "not written"
        _error(
            f"interrupted; unfinished outputs were {what}: " + ", ".join(unfinished)
            if unfinished
            else "interrupted after every output was written"
        )
        return 128 + stop.signum if isinstance(stop, StopRequested) else EXIT_INTERRUPTED
    except (StorageError, ClusterError) as error:
        bar.close()
        _error(str(error))
        return EXIT_SOME_FAILED
    finally:
        if manifest is not None:
            manifest.close()
    bar.close()
    if not options.quiet and len(records) > 1:
        print(totals_line(records, time.perf_counter() - started), file=sys.stderr)
    return EXIT_SOME_FAILED if failures else EXIT_OK


def _open_manifest(path: Path | None, refusals: list[FileRecord]) -> TextIO | None:
    """Opens the manifest (or None) with a line for each input refused by the plan."""
    if path is None:
        return None
    manifest = path.open("w", encoding="utf-8")
    for record in refusals:
        manifest.write(record.manifest_line() + "\n")
    return manifest


def main(argv: Sequence[str] | None = None) -> int:
    """Runs `orlune` with `argv` (default: the process's arguments); returns the exit status."""
    try:
        options = parse(list(sys.argv[1:] if argv is None else argv))
    except SystemExit as done:  # argparse exits for --help, --version and usage errors
        if done.code is None:
            return EXIT_OK
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    if isinstance(options, ShowPlugins):
        return show_plugins()
    if isinstance(options, ShowModels):
        return show_models()
    return _run(options)
