"""Many files: a per-image function applied to every image of a set of sources, in a pool of
processes or on a Dask cluster, with outputs that appear whole or not at all.

Workers receive paths and send back small Result records, never images: images refuse to be
pickled, and a path costs nothing to send where a 25 MB pixel buffer would cost more than its
conversion.
"""

from __future__ import annotations

import collections
import concurrent.futures as cf
import dataclasses
import functools
import importlib
import os
import pickle
import re
import secrets
import signal
import socket
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal, Optional, cast

from ..simpleImage_ext import SimpleImage
from ._optional import INSTALL, require

if TYPE_CHECKING:
    import distributed

Edit = Callable[[SimpleImage], SimpleImage]
"""A per-image function: image in, image out (the same one, edited, or a new one)."""
Format = Literal["png", "bmp"]
Status = Literal["converted", "skipped", "failed"]
PathLike = str | os.PathLike[str]

IMAGE_SUFFIXES = (".png", ".bmp")
# Tasks handed to the pool ahead of the workers: enough to keep every worker busy, few enough
# that a million-file batch does not hold a million futures.
_AHEAD_PER_JOB = 4
_CHUNK_BYTES = 64 << 10
# A task on a cluster costs its scheduler about 1.6 ms, a fifth of a photograph's conversion to
# BMP, so there photographs travel in groups too.
_CLUSTER_CHUNK_BYTES = 8 << 20
_CHUNK_FILES = 32


@dataclasses.dataclass(frozen=True)
class Result:
    """What became of one source file."""

    source: str
    """The source file (or a folder that could not be listed)."""
    output: str
    """Where its output goes ("" for a folder that could not be listed)."""
    status: Status
    """"converted", "skipped" (the output exists and `overwrite` is off) or "failed"."""
    message: str = ""
    """Why it failed: the exception's type and message, on one line."""
    seconds: float = 0.0
    """Time spent on it in the worker."""


@dataclasses.dataclass(frozen=True)
class Report:
    """The results of a run, in the order of its sources, and the run's wall time."""

    results: list[Result]
    seconds: float

    @property
    def converted(self) -> int:
        return self._count("converted")

    @property
    def skipped(self) -> int:
        return self._count("skipped")

    @property
    def failed(self) -> int:
        return self._count("failed")

    @property
    def failures(self) -> list[Result]:
        return [r for r in self.results if r.status == "failed"]

    def summary(self) -> str:
        return f"converted {self.converted}, skipped {self.skipped}, failed {self.failed} in {self.seconds:.2f} s"

    def _count(self, status: Status) -> int:
        return sum(r.status == status for r in self.results)


@dataclasses.dataclass(frozen=True)
class _Task:
    index: int
    source: str
    output: str


def convert(sources: Iterable[PathLike], out_dir: PathLike, to: Format = "png", jobs: int | None = None,
            overwrite: bool = False, progress: bool = True,
            client: Optional["distributed.Client"] = None) -> Report:
    """Convert image files to PNG or BMP: `process` with no edit. See `process`."""
    return process(sources, out_dir, None, to=to, jobs=jobs, overwrite=overwrite, progress=progress, client=client)


def process(sources: Iterable[PathLike], out_dir: PathLike, fn: Edit | None, *, to: Format = "png",
            jobs: int | None = None, overwrite: bool = False, progress: bool = True,
            client: Optional["distributed.Client"] = None,
            on_result: Callable[[Result], None] | None = None) -> Report:
    """Open every image of `sources`, apply `fn` (None: no edit) and write it into `out_dir`.

    Sources are files, or folders searched (with their sub-folders) for .png and .bmp files;
    a folder that cannot be listed is a failed Result. Each output is
    ``out_dir/<name without extension>.<to>``, a folder's sub-folders kept. An output that
    would be a source file of the run (the same file, or the same path but for letter case)
    fails without being written, whatever `overwrite` says.
    Files are processed by `jobs` worker processes (default: one per CPU; 1 runs them in this
    process), or by the workers of a Dask `client` (every worker must see the same paths).
    `fn` travels to the workers by reference, so it must be a module-level function; on a
    cluster that cannot load it, ImportError is raised before anything is sent.

    A file that fails is reported in its Result (exception type and message) and the run goes
    on; files that were beside one that killed its worker are tried again one by one. Each output is written under a temporary name beside its final one and renamed into
    place when complete, so an interrupted run leaves no partial file under a final name;
    outputs that exist are skipped unless `overwrite`. Temporary files beside this run's
    outputs left by processes of this machine that no longer exist are removed first.
    `progress` shows a bar (tqdm; Dask's own display on a cluster) when stderr is a terminal;
    `on_result` is called with each Result in the order of the sources, as soon as it and all
    before it are known.
    """
    if to not in ("png", "bmp"):
        raise ValueError(f"to must be 'png' or 'bmp', not {to!r}")
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    started = time.perf_counter()
    out_dir = os.fspath(out_dir)
    os.makedirs(out_dir, exist_ok=True)
    jobs = jobs or _cpu_count()
    if client is None and jobs > 1 and fn is not None:
        _check_sendable(fn)

    planned = _plan(sources, out_dir, to)
    _remove_stale_temporaries([output for _, output, _ in planned if output])
    results: list[Result | None] = []
    tasks: list[_Task] = []
    for source, output, refusal in planned:
        result = None
        if refusal is not None:
            result = Result(source, output, "failed", refusal)
        elif not overwrite and os.path.isfile(output):
            result = Result(source, output, "skipped")
        else:
            tasks.append(_Task(len(results), source, output))
        results.append(result)
    bar = _progress_bar(len(results), progress and client is None)
    reported = 0

    def finish(index: int, result: Result) -> None:
        nonlocal reported
        results[index] = result
        if bar is not None:
            bar.update()
        # Results arrive in any order; they are handed on in the order of the sources, so
        # that a run's report reads the same every time.
        while reported < len(results) and results[reported] is not None:
            if on_result is not None:
                on_result(cast(Result, results[reported]))
            reported += 1

    try:
        for index, decided in enumerate(list(results)):
            if decided is not None:
                finish(index, decided)
        if client is not None:
            _on_cluster(client, tasks, to, fn, progress, finish)
        elif jobs == 1:
            for task in tasks:
                finish(task.index, convert_file(task.source, task.output, to, fn))
        else:
            _in_pool(tasks, jobs, to, fn, finish)
    finally:
        if bar is not None:
            bar.close()
    return Report(cast(list[Result], results), time.perf_counter() - started)


def convert_file(source: str, output: str, to: Format, fn: Edit | None) -> Result:
    """One file, start to finish, in whichever process runs it; failures become the Result."""
    started = time.perf_counter()
    try:
        img = SimpleImage.open(source)
        if fn is not None:
            img = fn(img)
            if not isinstance(img, SimpleImage):
                raise TypeError(f"{getattr(fn, '__qualname__', fn)!s} returned {type(img).__name__}, not a SimpleImage")
        _write_whole(img, output, to)
    except Exception as e:
        return Result(source, output, "failed", _describe(e), time.perf_counter() - started)
    return Result(source, output, "converted", "", time.perf_counter() - started)


def _write_whole(img: SimpleImage, output: str, to: Format) -> None:
    """Write under a temporary name in the destination folder, then rename into place.

    The rename is atomic within a folder, so the final name holds nothing or a whole file.
    """
    global _writing
    folder, name = os.path.split(output)
    if folder:
        os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, f".{name}.tmp-{_HOST}-{os.getpid()}-{secrets.token_hex(4)}")
    _writing = temporary
    try:
        if to == "png":
            img.save(temporary)
        else:
            img.saveBmp(temporary)
        os.replace(temporary, output)
    except BaseException:
        _unlink(temporary)
        raise
    finally:
        _writing = None


# The temporary name says which machine and process writes it, so that a later run can tell
# the files of a killed process (removed) from those of a live one (left alone).
_HOST = socket.gethostname()
_TEMPORARY = re.compile(r"\.(?P<name>.+)\.tmp-(?P<host>.+)-(?P<pid>\d+)-[0-9a-f]{8}")
_writing: str | None = None
"""The temporary file this process is writing, for the stop handler of a pool worker."""


def _unlink(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _remove_stale_temporaries(outputs: list[str]) -> None:
    """Remove the temporary files of these outputs that a process of this machine, now gone,
    left behind (killed while writing). Other machines' files are left: their processes
    cannot be checked from here."""
    names_in: dict[str, set[str]] = collections.defaultdict(set)
    for output in outputs:
        folder, name = os.path.split(output)
        names_in[folder].add(name)
    for folder, names in names_in.items():
        try:
            entries = os.listdir(folder or ".")
        except OSError:
            continue
        for entry in entries:
            match = _TEMPORARY.fullmatch(entry)
            if (match is not None and match["name"] in names and match["host"] == _HOST
                    and not _process_exists(int(match["pid"]))):
                _unlink(os.path.join(folder, entry))


def _process_exists(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True     # someone else's process (or not a pid at all): not ours to judge
    return True


def _describe(e: BaseException) -> str:
    # One line, whatever the message holds: a report line is "PATH: ExceptionType: message".
    text = " ".join(str(e).split())
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def _plan(sources: Iterable[PathLike], out_dir: str, to: Format) -> list[tuple[str, str, str | None]]:
    """(source, output, why it is refused or None) for every source file in source order, and
    (folder, "", why) for every folder that could not be listed."""
    planned: list[tuple[str, str, str | None]] = []
    claimed: dict[str, str] = {}
    skip = os.path.realpath(out_dir)
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]      # one path, not the characters of one
    for source in (os.fspath(s) for s in sources):
        found: Iterable[tuple[str, str, str | None]]
        if os.path.isdir(source):
            found = ((path, os.path.relpath(path, source), error) for path, error in _images_under(source, skip))
        else:
            found = [(source, os.path.basename(source), None)]
        for path, relative, error in found:
            if error is not None:
                planned.append((path, "", error))
                continue
            output = os.path.join(out_dir, os.path.splitext(relative)[0] + "." + to)
            key = os.path.normcase(os.path.abspath(output))
            planned.append((path, output, f"ValueError: same output as {claimed[key]}" if key in claimed else None))
            claimed.setdefault(key, path)
    return _refuse_replacing_sources(planned)


def _refuse_replacing_sources(planned: list[tuple[str, str, str | None]]) -> list[tuple[str, str, str | None]]:
    """Refuse every output that is a source file of the run.

    The same file is found by its identity (hard links, symbolic links and case-insensitive
    file systems included); a path that differs from a source's only in letter case is
    refused too, being that source on a case-insensitive file system.
    """
    @functools.lru_cache(maxsize=4096)      # one look-up per folder, not per file
    def real_folder(folder: str) -> str:
        return os.path.realpath(folder or ".").casefold()

    def name(path: str) -> tuple[str, str]:
        folder, base = os.path.split(path)
        return real_folder(folder), base.casefold()

    identities: set[tuple[int, int]] = set()
    names: set[tuple[str, str]] = set()
    for source, output, _ in planned:
        if output:
            names.add(name(source))
            identity = _identity(source)
            if identity is not None:
                identities.add(identity)
    refusal = "ValueError: output would replace its source"
    return [(source, output, refusal if output and (name(output) in names or _identity(output) in identities)
             else why)
            for source, output, why in planned]


def _identity(path: str) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def _images_under(folder: str, skip: str) -> Iterator[tuple[str, str | None]]:
    """(path, None) for the .png and .bmp files below `folder`, in sorted order, a folder's
    files before its sub-folders; (folder, why) for a folder that cannot be listed.

    `skip` (the destination, when it lies within a source folder) is not searched: a rerun
    must not take outputs as sources. Symbolic links to folders are not followed.
    """
    folders = [folder]
    while folders:
        current = folders.pop()
        try:
            with os.scandir(current) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as e:
            yield current, _describe(e)
            continue
        below = []
        for entry in entries:
            if entry.is_dir():
                if not entry.is_symlink() and os.path.realpath(entry.path) != skip:
                    below.append(entry.path)
            elif entry.name.lower().endswith(IMAGE_SUFFIXES):
                yield entry.path, None
        folders.extend(reversed(below))


def convert_files(pairs: list[tuple[str, str]], to: Format, fn: Edit | None) -> list[Result]:
    """Several (source, output) pairs in one task, one Result each."""
    return [convert_file(source, output, to, fn) for source, output in pairs]


def _chunks(tasks: list[_Task], workers: int, group_bytes: int = _CHUNK_BYTES) -> list[list[_Task]]:
    """Tasks grouped so that each trip to a worker carries enough work, yet every worker still
    gets several trips.

    A trip through a process pool costs about 0.3 ms of CPU (pickling, pipes, threads waking),
    more than converting a 16 x 16 icon (0.06 ms); files are grouped until the group's sources
    hold `group_bytes`: 64 KiB in a pool, so that photographs still travel one by one there.
    """
    most = max(1, min(_CHUNK_FILES, len(tasks) // (workers * _AHEAD_PER_JOB)))
    chunks: list[list[_Task]] = []
    chunk: list[_Task] = []
    size = 0
    for task in tasks:
        chunk.append(task)
        try:
            size += os.path.getsize(task.source)
        except OSError:
            pass  # the worker reports it
        if len(chunk) >= most or size >= group_bytes:
            chunks.append(chunk)
            chunk, size = [], 0
    if chunk:
        chunks.append(chunk)
    return chunks


def _pairs(chunk: list[_Task], absolute: bool = False) -> list[tuple[str, str]]:
    if absolute:
        return [(os.path.abspath(t.source), os.path.abspath(t.output)) for t in chunk]
    return [(t.source, t.output) for t in chunk]


def _in_pool(tasks: list[_Task], jobs: int, to: Format, fn: Edit | None,
             finish: Callable[[int, Result], None]) -> None:
    # A worker that dies (a crash, os._exit in the user's function) breaks the whole pool, and
    # every chunk in flight fails with it. Their files are tried again in a fresh pool, one at
    # a time with nothing beside them, so that only the file that kills its worker fails.
    queue = collections.deque((chunk, False) for chunk in _chunks(tasks, jobs))
    while queue:
        pool = cf.ProcessPoolExecutor(min(jobs, len(queue)), initializer=_worker_start, initargs=(os.getpid(),))
        try:
            in_flight: dict[cf.Future[list[Result]], tuple[list[_Task], bool]] = {}
            broken = False
            while in_flight or (queue and not broken):
                while _may_submit(queue, in_flight, broken, _AHEAD_PER_JOB * jobs):
                    chunk, alone = queue.popleft()
                    try:
                        in_flight[pool.submit(convert_files, _pairs(chunk), to, fn)] = chunk, alone
                    except cf.process.BrokenProcessPool:
                        queue.appendleft((chunk, alone))
                        broken = True
                finished, _ = cf.wait(in_flight, return_when=cf.FIRST_COMPLETED)
                for future in finished:
                    chunk, alone = in_flight.pop(future)
                    if isinstance(future.exception(), cf.process.BrokenProcessPool):
                        broken = True
                        if not alone:
                            queue.extendleft(([task], True) for task in reversed(chunk))
                            continue
                    for task, result in _outcomes(future, chunk):
                        finish(task.index, result)
        finally:
            # On an interruption, what has not started is dropped rather than waited for.
            pool.shutdown(cancel_futures=True)


def _worker_start(parent: int) -> None:
    """Make a pool worker stop when its parent does, even if the parent is killed outright.

    A worker left behind would wait for work forever: its siblings keep the pool's pipes open.
    """
    signal.signal(signal.SIGTERM, _worker_stop)
    if not _stop_with_parent():
        threading.Thread(target=_watch_parent, args=(parent,), daemon=True, name="parent watchdog").start()
    if os.getppid() != parent:      # the parent died before the request above
        _worker_stop()


def _stop_with_parent() -> bool:
    """Ask Linux to send this process SIGTERM when its parent dies; False where it cannot."""
    if not sys.platform.startswith("linux"):
        return False
    import ctypes

    try:
        return bool(ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGTERM) == 0)
    except (OSError, AttributeError):
        return False


_PR_SET_PDEATHSIG = 1


def _watch_parent(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(1.0)
    _worker_stop()


def _worker_stop(*_: object) -> None:
    """Leave at once, removing the output being written: nothing partial under a final name,
    and no temporary file either."""
    writing = _writing
    if writing is not None:
        _unlink(writing)
    os._exit(128 + signal.SIGTERM)


def _may_submit(queue: collections.deque[tuple[list[_Task], bool]],
                in_flight: dict[Any, tuple[list[_Task], bool]], broken: bool, ahead: int) -> bool:
    if not queue or broken or len(in_flight) >= ahead:
        return False
    if any(alone for _, alone in in_flight.values()):
        return False
    return not (queue[0][1] and in_flight)


def _on_cluster(client: Any, tasks: list[_Task], to: Format, fn: Edit | None, progress: bool,
                finish: Callable[[int, Result], None]) -> None:
    distributed = require("distributed", "convert on a cluster")
    if fn is not None:
        _check_loadable(client, fn)
    chunks = _chunks(tasks, max(1, sum(client.nthreads().values())), _CLUSTER_CHUNK_BYTES)

    def submit(groups: list[list[_Task]]) -> list[Any]:
        # Paths go out absolute: a worker's current folder is not this process's.
        futures = client.map(convert_files, [_pairs(group, absolute=True) for group in groups], to=to, fn=fn,
                             pure=False)
        chunk_of.update((future.key, group) for future, group in zip(futures, groups))
        return cast(list[Any], futures)

    chunk_of: dict[Any, list[_Task]] = {}
    futures = submit(chunks)
    # The client need not be the default one (the command makes its own), so it is named.
    if progress and sys.stderr.isatty():
        distributed.progress(futures, scheduler=client.scheduler.address, loop=client.loop)
    arrivals = distributed.as_completed(futures, loop=client.loop)
    for future in arrivals:
        chunk = chunk_of.pop(future.key)
        error = future.exception()
        # Dask gives up on a group after workers died running it; as in the pool, its files
        # are tried again one by one, so that only the file that kills workers fails.
        if isinstance(error, distributed.KilledWorker) and len(chunk) > 1:
            arrivals.update(submit([[task] for task in chunk]))
            continue
        for task, result in _outcomes(future, chunk):
            finish(task.index, result)


def _check_loadable(client: Any, fn: Edit) -> None:
    """Raise ImportError, saying what to do, unless the scheduler and every worker can load `fn`.

    Dask's own answer to a function its workers cannot import is a deserialisation error on
    every file, or workers that die and restart until it gives up.
    """
    serialiser = require("distributed.protocol.pickle", "convert on a cluster")
    data = serialiser.dumps(fn)        # as Dask sends a task's function
    try:
        client.run_on_scheduler(serialiser.loads, data)
        client.run(serialiser.loads, data)
    except Exception as e:
        module = getattr(fn, "__module__", "?")
        path = getattr(sys.modules.get(module), "__file__", None)
        sending = f"client.upload_file({path!r})" if path is not None else "client.upload_file(...)"
        raise ImportError(f"the cluster cannot load fn ({_describe(e)}): does every worker have {module}, "
                          f"its module? {sending} sends it", name=module) from e


def _outcomes(future: Any, chunk: list[_Task]) -> Iterator[tuple[_Task, Result]]:
    """Each task with its Result under the task's own paths, or failed with the future's exception."""
    error = future.exception()
    if error is not None:
        for task in chunk:
            yield task, Result(task.source, task.output, "failed", _describe(error))
        return
    for task, result in zip(chunk, future.result()):
        yield task, dataclasses.replace(result, source=task.source, output=task.output)


def _check_sendable(fn: Edit) -> None:
    try:
        pickle.dumps(fn)
    except Exception as e:
        raise TypeError(f"fn must be a module-level function, which worker processes import by name "
                        f"({_describe(e)}); or use jobs=1") from e


def _cpu_count() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _progress_bar(total: int, wanted: bool) -> Any:
    """A tqdm bar on stderr when wanted and stderr is a terminal, else None."""
    if not wanted or not sys.stderr.isatty():
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        print(f"(no progress bar: tqdm is not installed; {INSTALL})", file=sys.stderr)
        return None
    return tqdm(total=total, unit="file", file=sys.stderr)
