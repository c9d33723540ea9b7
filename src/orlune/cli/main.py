"""`orlune denoise`: checks the arguments, runs the files, prints what happened."""

from __future__ import annotations

import math
import sys
from collections.abc import Sequence

from .args import (
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_SOME_FAILED,
    EXIT_USAGE,
    Options,
    ShowPlugins,
    parse,
)
from .jobs import FileResult, run_all
from .plan import plan
from .plugins import show_plugins
from .progress import ProgressBar


def _error(message: str) -> None:
    print(f"orlune: error: {message}", file=sys.stderr, flush=True)


def summary_line(result: FileResult) -> str:
    task = result.task
    duration = task.info.duration
    speed = result.wall_seconds / duration if duration else math.nan
    speech = result.mean_speech_probability
    speech_text = "n/a" if math.isnan(speech) else f"{speech:.2f}"
    return (
        f"{task.source} -> {task.target}: {duration:.1f} s of audio in"
        f" {result.wall_seconds:.2f} s, real-time factor {speed:.3f},"
        f" mean speech probability {speech_text}"
    )


def _run(options: Options) -> int:
    if options.report is not None:
        from .._report import MatplotlibMissing, require_matplotlib

        try:
            require_matplotlib()
        except MatplotlibMissing as missing:
            _error(str(missing))
            return EXIT_USAGE
    if options.out_dir is not None:
        try:
            options.out_dir.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            _error(
                f"cannot create the output directory {options.out_dir}: {error.strerror or error}"
            )
            return EXIT_SOME_FAILED

    tasks, refusals = plan(options)
    for refusal in refusals:
        _error(refusal)
    failures = len(refusals)
    bar = ProgressBar(
        sum(task.info.duration for task in tasks),
        sys.stderr,
        enabled=not options.quiet and sys.stderr.isatty(),
    )

    def report(result: FileResult) -> None:
        nonlocal failures
        if result.clipped_samples:
            bar.print_line(
                f"orlune: warning: {result.task.source}: {result.clipped_samples} float samples"
                " beyond +-1.0 were clipped to full scale",
                sys.stderr,
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
        elif result.task.report is not None and not options.quiet:
            bar.print_line(f"report: {result.task.report}", sys.stdout)

    try:
        run_all(tasks, options.jobs, bar.advance, report)
    except KeyboardInterrupt:
        bar.close()
        _error("interrupted; unfinished outputs were not written")
        return EXIT_INTERRUPTED
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
    return _run(options)
