"""simpleimage-convert: convert image files to PNG or BMP in parallel, with safe outputs.

Exit status: 0 when every file was converted or skipped, 1 when any failed (or the run could
not start), 2 for a usage error, 130 after Ctrl-C and 143 after SIGTERM.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Sequence
from typing import Any

from ._batch import Result, _describe, process
from ._optional import require

PROG = "simpleimage-convert"
CONNECT_SECONDS = 30.0
"""How long connecting to a scheduler may take in all, whatever answers at the address."""


class _Terminated(BaseException):
    """SIGTERM, raised in the main thread where Ctrl-C raises KeyboardInterrupt, and handled
    the same way: the files being written are finished or removed before the command exits."""


def _terminate(signum: int, frame: object) -> None:
    raise _Terminated


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if os.path.exists(args.out) and not os.path.isdir(args.out):
        parser.error(f"argument -o/--out: {args.out!r} is a file, not a folder")
    distributed = None
    if args.scheduler is not None:
        try:
            distributed = require("distributed", "--scheduler")
        except ImportError as e:
            parser.error(str(e))
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if in_main_thread else None
    try:
        return _run(args, distributed)
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except _Terminated:
        _error("terminated")
        return 128 + signal.SIGTERM
    finally:
        if in_main_thread:
            signal.signal(signal.SIGTERM, previous)


def _run(args: argparse.Namespace, distributed: Any) -> int:
    client = None
    if distributed is not None:
        try:
            client = _connect(distributed, args.scheduler)
        except (OSError, TimeoutError) as e:
            _error(f"cannot reach the scheduler at {args.scheduler}: {e}")
            return 1
    try:
        report = process(args.sources, args.out, None, to=args.to, jobs=args.jobs, overwrite=args.overwrite,
                         progress=not args.quiet, client=client, on_result=_report_failure)
    except OSError as e:
        _error(_describe(e))
        return 1
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(report.summary())
    return 1 if report.failed else 0


def _connect(distributed: Any, address: str) -> Any:
    """A client of the scheduler at `address`, within CONNECT_SECONDS in all.

    Dask's own timeout covers a closed port but not a peer that accepts and then never
    answers as a scheduler does (an HTTP server, a silent socket), so the attempt runs in a
    thread of its own that is abandoned at the limit.
    """
    outcome: dict[str, Any] = {}

    def attempt() -> None:
        try:
            outcome["client"] = distributed.Client(address, timeout=CONNECT_SECONDS, set_as_default=False)
        except BaseException as e:
            outcome["error"] = e

    thread = threading.Thread(target=attempt, name="connect to the scheduler", daemon=True)
    thread.start()
    thread.join(CONNECT_SECONDS)
    if "error" in outcome:
        raise outcome["error"]
    if "client" not in outcome:
        raise TimeoutError(f"no scheduler answered within {CONNECT_SECONDS:g} s")
    return outcome["client"]


def _parser() -> argparse.ArgumentParser:
    from .. import __version__

    parser = argparse.ArgumentParser(
        prog=PROG, description="Convert PNG and BMP files to PNG or BMP. Each output is OUT/<name>.<format>, "
        "a source folder's sub-folders kept; it is written under a temporary name and renamed into place "
        "when complete, and skipped when it exists already (unless --overwrite).")
    parser.add_argument("sources", nargs="+", metavar="SOURCE",
                        help="an image file, or a folder searched (with its sub-folders) for .png and .bmp files")
    parser.add_argument("-o", "--out", required=True, metavar="OUT", help="the destination folder (created if needed)")
    parser.add_argument("--to", choices=("png", "bmp"), default="png", help="the output format (default: png)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--jobs", type=_positive, metavar="N", help="worker processes (default: one per CPU)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the Dask cluster whose scheduler is at ADDRESS (e.g. tcp://host:8786); "
                       "every worker must see the sources and OUT at the same paths")
    parser.add_argument("--overwrite", action="store_true", help="replace outputs that exist")
    parser.add_argument("--quiet", action="store_true", help="no progress bar and no summary line; failures are still reported")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def _report_failure(result: Result) -> None:
    if result.status == "failed":
        _error(f"{result.source}: {result.message}")


def _error(message: str) -> None:
    line = f"{PROG}: {message}"
    # Through tqdm while a bar may be on screen, so the line does not cut through it.
    tqdm: Any = sys.modules.get("tqdm")
    if tqdm is not None:
        tqdm.tqdm.write(line, file=sys.stderr)
    else:
        print(line, file=sys.stderr)
