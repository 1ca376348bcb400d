"""Builds of the module side by side: the same decodes and encodes timed in each, interleaved.

    python bench/builds.py NAME=DIR NAME=DIR ... [--photos DIR] [--rounds 15] [--only TEXT] [--cpu]

Each DIR holds the Vorlanx package of one build: a development build directory (build/dev) or
the site-packages of a virtual environment a wheel was installed into. One interpreter cannot
hold two builds of one extension module, so each build runs in a worker process of its own; the
parent asks the workers in turn for one timed run of one workload, round after round, so
whatever else loads the machine falls on every build alike. Before any time counts, every
build's output of every workload (decoded pixels, encoded file) is checked equal to the first
build's, and the order of the builds turns every round. Output: a markdown table of median
milliseconds, and each build's median and fastest time over the first build's (the fastest runs
hold steadier on a machine shared with other work). With --cpu each run is timed by the calling
thread's CPU clock instead of the wall clock, so time spent waiting for a core on a loaded
machine does not count (the module decodes and encodes on the calling thread).
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent
DEFAULT_PHOTOS = HERE.parent.parent / "shared" / "corpus" / "png" / "photos"


def workloads(photos: Path, tmp: Path) -> dict[str, Callable[[], bytes]]:
    """Name -> a run that returns its output's bytes: PNG decode and encode of every photograph
    the module accepts, BMP decode and encode of the largest."""
    from Vorlanx.simpleImage_ext import SimpleImage

    runs: dict[str, Callable[[], bytes]] = {}
    largest = None
    for path in sorted(photos.glob("*.png")):
        data = path.read_bytes()
        try:
            img = SimpleImage.open(data)
        except Exception:  # colour types the module refuses, as it must
            continue
        label = f"{path.name} ({img.width}x{img.height})"
        png = tmp / f"{path.stem}.png"
        runs[f"PNG decode {label}"] = lambda data=data: bytes(SimpleImage.open(data)._pixels or b"")
        runs[f"PNG encode {label}"] = lambda img=img, png=png: (img.save(str(png)), png.read_bytes())[1]
        if largest is None or img.width * img.height > largest.width * largest.height:
            largest = img
    if largest is not None:
        bmp = tmp / "large.bmp"
        largest.saveBmp(str(bmp))
        blob = bmp.read_bytes()
        label = f"{largest.width}x{largest.height}"
        runs[f"BMP decode {label}"] = lambda: bytes(SimpleImage.open(blob)._pixels or b"")
        runs[f"BMP encode {label}"] = lambda img=largest: (img.saveBmp(str(bmp)), bmp.read_bytes())[1]
    return runs


def worker(photos: Path, clock: Callable[[], float]) -> None:
    """Answers the parent over stdin/stdout: `names`, `digest I`, `time I`."""
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
        runs = list(workloads(photos, Path(tmp)).items())
        for line in sys.stdin:
            verb, *arg = line.split()
            if verb == "names":
                reply = "\t".join(name for name, _ in runs)
            elif verb == "digest":
                reply = hashlib.sha256(runs[int(arg[0])][1]()).hexdigest()
            else:
                fn = runs[int(arg[0])][1]
                t0 = clock()
                fn()
                reply = repr(clock() - t0)
            print(reply, flush=True)


class Build:
    def __init__(self, name: str, directory: Path, photos: Path, cpu: bool) -> None:
        self.name = name
        env = dict(os.environ, PYTHONPATH=str(directory))
        command = [sys.executable, __file__, "--worker", "--photos", str(photos), *(["--cpu"] if cpu else [])]
        self.proc = subprocess.Popen(command, env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(self, request: str) -> str:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(request + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline()
        if not reply:
            raise SystemExit(f"{self.name}: the worker stopped")
        return reply.rstrip("\n")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("builds", nargs="*", help="NAME=DIR, two or more")
    ap.add_argument("--photos", type=Path, default=DEFAULT_PHOTOS if DEFAULT_PHOTOS.is_dir()
                    else HERE.parent / "examples" / "data")
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--only", default="", help="only the workloads whose name contains TEXT")
    ap.add_argument("--cpu", action="store_true", help="time by the thread's CPU clock, not the wall clock")
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker(args.photos, time.thread_time if args.cpu else time.perf_counter)
        return
    if len(args.builds) < 2 or not all("=" in b for b in args.builds):
        ap.error("name two or more builds as NAME=DIR")
    builds = [Build(name, Path(d).resolve(), args.photos, args.cpu) for name, d in (b.split("=", 1) for b in args.builds)]
    names = builds[0].ask("names").split("\t")
    for b in builds[1:]:
        if b.ask("names").split("\t") != names:
            raise SystemExit(f"{b.name} accepts other photographs than {builds[0].name}")
    for i, name in enumerate(names):  # the outputs must agree; this also warms every build up
        if args.only not in name:
            continue
        digests = {b.name: b.ask(f"digest {i}") for b in builds}
        if len(set(digests.values())) != 1:
            raise SystemExit(f"{name}: the builds' outputs differ")
    chosen = [i for i, name in enumerate(names) if args.only in name]
    times: dict[tuple[int, str], list[float]] = {}
    for r in range(args.rounds):
        order = builds[r % len(builds):] + builds[:r % len(builds)]  # no build always runs first
        for i in chosen:
            for b in order:
                times.setdefault((i, b.name), []).append(float(b.ask(f"time {i}")))
    first = builds[0].name
    head = " | ".join(f"{b.name} ms" for b in builds)
    ratios = " | ".join(f"{b.name} / {first} (median, fastest)" for b in builds[1:])
    print(f"| workload | {head} | {ratios} |")
    print("|---|" + "---:|" * (2 * len(builds) - 1))
    for i in chosen:
        name = names[i]
        med = {b.name: statistics.median(times[i, b.name]) for b in builds}
        low = {b.name: min(times[i, b.name]) for b in builds}
        cells = " | ".join(f"{med[b.name] * 1e3:.2f}" for b in builds)
        rel = " | ".join(f"{med[b.name] / med[first]:.2f}, {low[b.name] / low[first]:.2f}" for b in builds[1:])
        print(f"| {name} | {cells} | {rel} |")
    for b in builds:
        assert b.proc.stdin is not None
        b.proc.stdin.close()
        b.proc.wait()


if __name__ == "__main__":
    main()
