"""`orlune denoise`: checks the arguments, runs the files, prints what happened."""

from __future__ import annotations

import math
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager

from .._audio_io import AudioFileError
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
    task = result.task
    duration = task.info.duration
    speed = "n/a"
    if duration >= _SHORTEST_TIMED_SECONDS:
        speed = f"{result.wall_seconds / duration:.3f}"
    speech = result.mean_speech_probability
    speech_text = "n/a" if math.isnan(speech) else f"{speech:.2f}"
    return (
        f"{task.source} -> {task.target}: {duration:.1f} s of audio in"
        f" {result.wall_seconds:.2f} s, real-time factor {speed},"
        f" mean speech probability {speech_text}"
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


def _make_directories(tasks: list[FileTask]) -> tuple[list[FileTask], list[str]]:
    """Makes the missing output directories; drops the tasks whose directories cannot be made."""
    ready, errors = [], []
    for task in tasks:
        try:
            for path in (task.target, task.report):
                for directory in missing_directories(path) if path is not None else []:
                    try:
                        directory.mkdir(exist_ok=True)
                    except OSError as error:
                        raise AudioFileError(
                            f"cannot create the directory {directory}: {error.strerror or error}"
                        ) from None
        except AudioFileError as error:
            errors.append(str(error))
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

    tasks, refusals = plan(options)
    tasks, not_made = _make_directories(tasks)
    for refusal in refusals + not_made:
        _error(refusal)
    failures = len(refusals) + len(not_made)
    finished: set[int] = set()  # tasks with a result, by id
    bar = ProgressBar(
        sum(task.info.duration for task in tasks),
        sys.stderr,
        enabled=not options.quiet and sys.stderr.isatty(),
    )

    def report(result: FileResult) -> None:
        nonlocal failures
        finished.add(id(result.task))
        if result.clipped is not None:
            bar.print_line(f"orlune: warning: {result.task.source}: {result.clipped}", sys.stderr)
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
            run_all(tasks, options.jobs, bar.advance, report)
    except (KeyboardInterrupt, StopRequested) as stop:
        bar.close()
        unfinished = [str(task.target) for task in tasks if id(task) not in finished]
        _error(
            "interrupted; unfinished outputs were not written: " + ", ".join(unfinished)
            if unfinished
            else "interrupted after every output was written"
        )
        return 128 + stop.signum if isinstance(stop, StopRequested) else EXIT_INTERRUPTED
    bar.close()
    return EXIT_SOME_FAILED if failures else EXIT_OK


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
