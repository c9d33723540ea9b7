"""Many files at once: here, or on the workers of a Dask cluster.

Each file is one independent task (`orlune._file_job.run_file_job`); a file is
never split. A task that fails reports its error in its record and the batch goes
on; a worker that dies takes its task with it, and Dask's scheduler gives that
task to another worker. Dask is imported only when a cluster is used.

    >>> from distributed import Client
    >>> records = denoise_files(["s3://bucket/raw/**.mp4"], out_dir="s3://bucket/clean",
    ...                         client=Client("tcp://scheduler:8786"))
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from ._file_job import FileJob, FileRecord, failed, run_file_job
from ._model_store import DEFAULT_MODEL_ID, packaged_model

__all__ = ["ClusterError", "FileJob", "FileRecord", "denoise_files", "plan", "write_manifest"]

RecordCallback = Callable[[int, FileRecord], None]  # the job's index and its record


class ClusterError(Exception):
    """The Dask scheduler cannot be used; the message says why."""


def plan(
    inputs: Sequence[str | Path],
    outputs: Sequence[str | Path] | None = None,
    out_dir: str | Path | None = None,
    *,
    attenuation_limit_db: float = 100.0,
    model: str = DEFAULT_MODEL_ID,
    skip_existing: bool = False,
    force: bool = False,
) -> tuple[list[FileJob], list[FileRecord]]:
    """The jobs for `inputs` (paths, URLs, directories, globs) and a failed record for each
    input refused before any work: unreadable, or its output taken or an input of the run.

    Each output is `outputs[i]` for `inputs[i]` (then no input may be a directory or a
    glob), else the input's path below where it was named in `out_dir`, else
    ``NAME.clean.EXT`` beside it. `model` is the id of a packaged model; an unknown
    one raises `orlune.UnknownModelError` before any work.
    """
    model = packaged_model(model).model_id
    from .cli.args import Options
    from .cli.plan import plan as plan_tasks

    def options(sources: list[str], output: str | None) -> Options:
        return Options(
            inputs=sources,
            output=output,
            out_dir=None if out_dir is None else str(out_dir),
            jobs=1,
            attenuation_limit_db=attenuation_limit_db,
            model=model,
            force=force,
            quiet=True,
            report=None,
            skip_existing=skip_existing,
        )

    if outputs is not None:
        if out_dir is not None:
            raise ValueError("give outputs or out_dir, not both")
        if len(outputs) != len(inputs):
            raise ValueError(f"{len(inputs)} inputs but {len(outputs)} outputs")
        if len({str(output) for output in outputs}) != len(outputs):
            raise ValueError("two inputs have the same output")
        requests = [options([str(i)], str(o)) for i, o in zip(inputs, outputs, strict=True)]
    else:
        requests = [options([str(source) for source in inputs], None)]
    jobs: list[FileJob] = []
    refused: list[FileRecord] = []
    for request in requests:
        tasks, errors = plan_tasks(request)
        jobs.extend(task.job for task in tasks)
        refused.extend(failed(source, "", message) for source, message in errors)
    return jobs, refused


def denoise_files(
    inputs: Sequence[str | Path],
    outputs: Sequence[str | Path] | None = None,
    out_dir: str | Path | None = None,
    client: Any = None,
    *,
    attenuation_limit_db: float = 100.0,
    model: str = DEFAULT_MODEL_ID,
    skip_existing: bool = False,
    force: bool = False,
    manifest: str | Path | None = None,
) -> list[FileRecord]:
    """Denoises every input into its output (see `plan`) and returns one record per input:
    the refused ones first, then the others in order.

    With a Dask `distributed.Client` the files run on its workers; without, one after
    another in this process. `manifest` names a JSON-lines file to write the records to.
    """
    jobs, records = plan(
        inputs,
        outputs,
        out_dir,
        attenuation_limit_db=attenuation_limit_db,
        model=model,
        skip_existing=skip_existing,
        force=force,
    )
    done: dict[int, FileRecord] = {}

    def keep(index: int, record: FileRecord) -> None:
        done[index] = record

    if client is None:
        for index, job in enumerate(jobs):
            keep(index, run_file_job(job))
    else:
        run_on_client(client, jobs, keep)
    records += [done[index] for index in range(len(jobs))]
    if manifest is not None:
        write_manifest(manifest, records)
    return records


def write_manifest(path: str | Path, records: Sequence[FileRecord]) -> None:
    with Path(path).open("w", encoding="utf-8") as manifest:
        for record in records:
            manifest.write(record.manifest_line() + "\n")


def run_on_client(client: Any, jobs: Sequence[FileJob], on_record: RecordCallback) -> None:
    """Runs each job as one task on the client's cluster, calling `on_record` as each
    completes. Interrupted, it cancels the tasks still to run."""
    from distributed import as_completed

    futures = client.map(run_file_job, list(jobs), pure=False, retries=1)
    index_of = {future.key: index for index, future in enumerate(futures)}
    try:
        # The client's own loop: it need not be the process's default client.
        for future in as_completed(futures, loop=client.loop):  # type: ignore[no-untyped-call]
            index = index_of[future.key]
            try:
                record = future.result()
            except Exception as error:  # the task itself could not run (e.g. killed workers)
                job = jobs[index]
                record = failed(job.source, job.target, f"{job.source}: the worker failed: {error}")
            on_record(index, record)
    except BaseException:
        client.cancel(futures)
        raise


def run_on_scheduler(jobs: Sequence[FileJob], address: str, on_record: RecordCallback) -> None:
    """Runs the jobs on the workers of the Dask scheduler at `address`."""
    try:
        from distributed import Client
    except ImportError:
        raise ClusterError("--scheduler needs Dask: pip install 'orlune[cluster]'") from None
    try:
        client = Client(  # type: ignore[no-untyped-call]
            address, timeout="20s", set_as_default=False
        )
    except (OSError, TimeoutError, ValueError) as error:
        raise ClusterError(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        run_on_client(client, jobs, on_record)
