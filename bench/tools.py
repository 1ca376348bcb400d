"""The pure-Python tools against their targets: batch conversion in a pool and on a cluster,
and the in-memory encoders against saving to a file.

    pip install ".[bench]"
    python bench/tools.py [--photos DIR] [--rounds 3] [--to bmp,png]

- the RGB/RGBA photographs of DIR copied to 200 files and converted with 1 job (in this
  process) and 2 jobs (a pool of 2), and on a 2-worker LocalCluster (started beforehand, as a
  user's cluster would be): target 2 jobs >= 1.8x the throughput of 1, cluster <= 1.25x the
  pool's time;
- 200 copies of the 16 x 16 icon the same three ways: the per-file cost of each path;
- encode_png / encode_bmp of the 3840 x 2160 photograph against save / saveBmp to a file in
  /dev/shm: target <= 1.1x.

Runs are interleaved and the median is reported; outputs go to /dev/shm so the disk is not
measured.
"""

from __future__ import annotations

import argparse
import importlib
import logging
import os
import shutil
import sys
import tempfile
from pathlib import Path
from statistics import median
from typing import Any, Callable, Literal, cast

from compare import DEFAULT_PHOTOS, interleaved

import Vorlanx.simpleImage_tools as tools
from Vorlanx.simpleImage_ext import SimpleImage

FILES = 200
SCRATCH = "/dev/shm" if os.path.isdir("/dev/shm") else None


def usable_photos(folder: Path) -> list[tuple[Path, SimpleImage]]:
    """The photographs the module opens (8-bit RGB/RGBA PNG), decoded, most pixels first."""
    found = []
    for path in sorted(folder.glob("*.png")):
        try:
            found.append((path, SimpleImage.open(path)))
        except ValueError:
            continue
    return sorted(found, key=lambda item: -len(item[1]._pixels or b""))


def copies(sources: list[Path], into: Path, count: int) -> Path:
    into.mkdir()
    for i in range(count):
        source = sources[i % len(sources)]
        shutil.copy(source, into / f"{i:03d}-{source.name}")
    return into


def cpu_seconds() -> float:
    """CPU time of this process and of its children that have ended (a pool's workers)."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def batch(source: Path, to: str, cpu: list[float], **kwargs: Any) -> Callable[[], object]:
    """One conversion of the folder into a fresh folder; appends the CPU time it took to `cpu`
    (the cluster's workers outlive the run, so there only this process's share counts)."""
    fmt = cast(Literal["png", "bmp"], to)

    def run() -> object:
        out = Path(tempfile.mkdtemp(dir=SCRATCH))
        try:
            before = cpu_seconds()
            report = tools.convert([source], out, to=fmt, progress=False, **kwargs)
            cpu.append(cpu_seconds() - before)
            assert report.converted == FILES, report.failures[:3]
            return report
        finally:
            shutil.rmtree(out)
    return run


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--photos", type=Path, default=DEFAULT_PHOTOS)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--to", default="bmp,png")
    args = ap.parse_args()

    distributed: Any = importlib.import_module("distributed")   # its constructors are untyped
    dask: Any = importlib.import_module("dask")

    decoded = usable_photos(args.photos)
    photos = [path for path, _ in decoded]
    icon = next(p for p in photos if p.name.endswith("-16.png"))
    big = decoded[0][1]
    print(f"{len(photos)} photographs; the largest {photos[0].name} {big.size[0]} x {big.size[1]}; "
          f"{os.cpu_count()} CPUs; Python {sys.version.split()[0]}\n")
    rows: list[str] = []
    load_before = f"{os.getloadavg()[0]:.2f}"
    # Dask's nannies start workers with MALLOC_TRIM_THRESHOLD_=65536, which also stops glibc
    # from raising its mmap threshold: every large pixel buffer is then fresh pages. The second
    # cluster's workers get back what a plain process has (32 MiB mmap, 64 MiB trim thresholds).
    malloc_as_plain = {"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 1 << 25,
                       "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": 1 << 26}
    with tempfile.TemporaryDirectory(dir=SCRATCH) as tmp, \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                     silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client, \
            dask.config.set(malloc_as_plain), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                     silence_logs=logging.ERROR) as tuned_cluster, \
            distributed.Client(tuned_cluster) as tuned:
        sets = {"photographs": copies(photos, Path(tmp) / "photos", FILES),
                "16 x 16 icons": copies([icon], Path(tmp) / "icons", FILES)}
        for name, folder in sets.items():
            for to in args.to.split(",") if name == "photographs" else ["bmp"]:
                one: list[float] = []
                two: list[float] = []
                t = interleaved({"1 job": batch(folder, to, one, jobs=1), "2 jobs": batch(folder, to, two, jobs=2),
                                 "cluster": batch(folder, to, [], client=client),
                                 "tuned": batch(folder, to, [], client=tuned)}, args.rounds)
                rows.append(f"| {FILES} {name} to {to.upper()} | {t['1 job']:.2f} s | {t['2 jobs']:.2f} s | "
                            f"{t['cluster']:.2f} s ({t['tuned']:.2f} s) | {t['1 job'] / t['2 jobs']:.2f}x | "
                            f"{t['cluster'] / t['2 jobs']:.2f}x ({t['tuned'] / t['2 jobs']:.2f}x) | "
                            f"{t['1 job'] / FILES * 1e3:.2f} / {t['2 jobs'] / FILES * 1e3:.2f} / "
                            f"{t['cluster'] / FILES * 1e3:.2f} ms | "
                            f"{median(one) / FILES * 1e3:.2f} / {median(two) / FILES * 1e3:.2f} ms |")
    print("| batch | 1 job | 2 jobs | 2-worker cluster (plain malloc) | 2 jobs over 1 | cluster over pool | "
          "per file (1 / 2 / cluster) | CPU per file (1 / 2 jobs) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    print("\n".join(rows))
    print(f"\nload average before / after: {load_before} / {os.getloadavg()[0]:.2f}")

    print(f"\n| {big.size[0]} x {big.size[1]} | to bytes | save to /dev/shm | ratio |\n|---|---:|---:|---:|")
    target = os.path.join(SCRATCH or tempfile.gettempdir(), "simpleimage-bench")
    for label, encode, save in (("PNG", tools.encode_png, big.save), ("BMP", tools.encode_bmp, big.saveBmp)):
        t = interleaved({"encode": lambda: encode(big), "save": lambda: save(target)}, 21 if label == "BMP" else 7)
        with open(target, "rb") as f:
            assert encode(big) == f.read()
        print(f"| {label} | {t['encode'] * 1e3:.1f} ms | {t['save'] * 1e3:.1f} ms | {t['encode'] / t['save']:.2f}x |")
    os.unlink(target)


if __name__ == "__main__":
    main()
