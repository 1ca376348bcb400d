"""simpleimage-convert: convert image files to PNG or BMP in parallel, with safe outputs.

Exit status: 0 when every file was converted or skipped, 1 when any failed (or the run could
not start), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Any

from ._batch import Result, process
from ._optional import require

PROG = "simpleimage-convert"


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    client = None
    if args.scheduler is not None:
        try:
            distributed = require("distributed", "--scheduler")
        except ImportError as e:
            parser.error(str(e))
        try:
            client = distributed.Client(args.scheduler, timeout="30s", set_as_default=False)
        except (OSError, TimeoutError) as e:
            _error(f"cannot reach the scheduler at {args.scheduler}: {e}")
            return 1
    try:
        report = process(args.sources, args.out, None, to=args.to, jobs=args.jobs, overwrite=args.overwrite,
                         progress=not args.quiet, client=client, on_result=_report_failure)
    except OSError as e:
        _error(str(e))
        return 1
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        print(report.summary())
    return 1 if report.failed else 0


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
