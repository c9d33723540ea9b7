"""Command-line arguments of `orlune`."""

from __future__ import annotations

import argparse
import textwrap
from dataclasses import dataclass
from pathlib import Path

from .._checks import MAX_CHANNELS, MAX_SAMPLE_RATE, MIN_SAMPLE_RATE, check_attenuation_limit
from .._model_store import (
    DEFAULT_MODEL_ID,
    ModelStoreError,
    PackagedModel,
    UnknownModelError,
    packaged_model,
    packaged_models,
)
from .._version import __version__

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

_EXIT_CODES = """\
exit status:
  0    every file was denoised
  1    some files failed (the others were still written)
  2    usage error: bad options or arguments
  130  interrupted"""


@dataclass(frozen=True)
class ShowPlugins:
    """`orlune plugins`: takes no options."""


@dataclass(frozen=True)
class ShowModels:
    """`orlune models`: takes no options."""


@dataclass(frozen=True)
class Options:
    inputs: list[str]  # paths, URLs, directories or globs
    output: str | None
    out_dir: str | None
    jobs: int
    attenuation_limit_db: float
    model: str
    force: bool
    quiet: bool
    report: Path | None
    scheduler: str | None = None
    skip_existing: bool = False
    manifest: Path | None = None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _decibels(text: str) -> float:
    value: object = text
    try:
        value = float(text)
    except ValueError:
        pass  # refused below, with the same words as the library uses
    try:
        return check_attenuation_limit(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _model_id(text: str) -> str:
    try:
        return packaged_model(text).model_id
    except (UnknownModelError, ModelStoreError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def depth_text(model: PackagedModel) -> str:
    """How deep `model` suppresses noise, in words."""
    if model.max_suppression_db is None:
        return "not stated"
    return f"{model.max_suppression_db:g} dB"


def _limit_help() -> str:
    """The limit's help, with each packaged model's deepest suppression."""
    try:
        depths = ", ".join(f"{model.model_id} {depth_text(model)}" for model in packaged_models())
    except ModelStoreError as error:
        depths = f"unknown: {error}"
    return (
        "reduce noise by at most DB decibels (default: 100). No model goes deeper than its"
        f" own maximum ({depths}); a higher limit gives the same output as that maximum"
    )


class _HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Wraps option help between words only, so that model ids stay whole."""

    def _split_lines(self, text: str, width: int) -> list[str]:
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orlune",
        description="Speech enhancement: removes noise from recordings of speech.",
        epilog=_EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"orlune {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    denoise = commands.add_parser(
        "denoise",
        help="remove the noise from audio and video files",
        description=(
            "Removes the noise from WAV, FLAC or OGG files at"
            f" {MIN_SAMPLE_RATE} to {MAX_SAMPLE_RATE} Hz with\n"
            f"up to {MAX_CHANNELS} channels. Each output has the input's length, rate, channels\n"
            "and sample format, and is time-aligned with it. With orlune[media], any audio\n"
            "or video file FFmpeg reads (MP4, MKV, WebM, MP3, M4A, Opus...): its audio is\n"
            "denoised and re-encoded, its other streams copied. IN and OUT may be fsspec\n"
            "URLs (s3://, gs://, memory://...; needs orlune[cluster]); a directory or a glob\n"
            "(** for subfolders) stands for the files it holds."
        ),
        epilog=_EXIT_CODES,
        formatter_class=_HelpFormatter,
    )
    denoise.set_defaults(command_parser=denoise)
    denoise.add_argument(
        "inputs", nargs="+", metavar="IN", help="audio or video files, directories, globs, URLs"
    )
    where = denoise.add_mutually_exclusive_group()
    where.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="output file, for one input (default: IN.clean.EXT beside IN)",
    )
    where.add_argument(
        "--out-dir",
        metavar="DIR",
        help="write each output in DIR under its input's name, or its path below the"
        " directory or glob named (made if missing)",
    )
    denoise.add_argument(
        "-j",
        "--jobs",
        type=_positive_int,
        default=1,
        metavar="N",
        help="files processed in parallel processes (default: 1)",
    )
    denoise.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run the files on the workers of this Dask scheduler (tcp://host:8786);"
        " needs orlune[cluster]",
    )
    denoise.add_argument(
        "--skip-existing",
        action="store_true",
        help="leave outputs that exist (complete, from an earlier run) and report them skipped",
    )
    denoise.add_argument(
        "--manifest",
        type=Path,
        metavar="FILE.jsonl",
        help="write one JSON line per input: what became of it",
    )
    denoise.add_argument(
        "--attenuation-limit",
        type=_decibels,
        default=100.0,
        metavar="DB",
        help=_limit_help(),
    )
    denoise.add_argument(
        "--model",
        type=_model_id,
        default=DEFAULT_MODEL_ID,
        metavar="ID",
        help=f"the packaged model to run (default: {DEFAULT_MODEL_ID});"
        " `orlune models` lists them",
    )
    denoise.add_argument("-f", "--force", action="store_true", help="overwrite existing outputs")
    denoise.add_argument(
        "-q", "--quiet", action="store_true", help="print errors and warnings only"
    )
    denoise.add_argument(
        "--report",
        type=Path,
        metavar="FILE.png",
        help="for one input: save its input and output spectrograms and the speech"
        " probability as a PNG picture (needs matplotlib: pip install 'orlune[report]')",
    )
    plugins = commands.add_parser(
        "plugins",
        help="print the folders of the LADSPA and LV2 plugins",
        description="Prints the folders of the LADSPA and LV2 plugins installed with orlune,\n"
        "for LADSPA_PATH and LV2_PATH or to copy into a host's plugin folder.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    plugins.set_defaults(command_parser=plugins)
    models = commands.add_parser(
        "models",
        help="list the packaged models and how deep each suppresses noise",
        description="Lists the packaged models for `orlune denoise --model ID`: id, version\n"
        "and the deepest noise suppression of each.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    models.set_defaults(command_parser=models)
    return parser


def parse(argv: list[str]) -> Options | ShowPlugins | ShowModels:
    """Parses and checks the arguments; exits with status 2 on a usage error."""
    parser = build_parser()
    namespace, unknown = parser.parse_known_args(argv)
    # Errors are told with the usage of the subcommand they concern.
    command: argparse.ArgumentParser = getattr(namespace, "command_parser", parser)
    if unknown:
        command.error(f"unrecognized arguments: {' '.join(unknown)}")
    if namespace.command == "plugins":
        return ShowPlugins()
    if namespace.command == "models":
        return ShowModels()
    inputs: list[str] = namespace.inputs
    if namespace.output is not None and len(inputs) > 1:
        command.error("-o/--output takes one input; use --out-dir for several")
    report: Path | None = namespace.report
    if report is not None:
        if len(inputs) > 1:
            command.error("--report takes one input")
        if report.suffix.lower() != ".png":
            command.error("--report must name a .png file")
        if namespace.scheduler is not None:
            command.error("--report is drawn on this machine; leave out --scheduler")
    if namespace.scheduler is not None and namespace.jobs != 1:
        command.error("--jobs is for this machine; the scheduler's workers set the parallelism")
    if namespace.force and namespace.skip_existing:
        command.error("--force and --skip-existing contradict each other")
    return Options(
        inputs=inputs,
        output=namespace.output,
        out_dir=namespace.out_dir,
        jobs=namespace.jobs,
        attenuation_limit_db=namespace.attenuation_limit,
        model=namespace.model,
        force=namespace.force,
        quiet=namespace.quiet,
        report=report,
        scheduler=namespace.scheduler,
        skip_existing=namespace.skip_existing,
        manifest=namespace.manifest,
    )

