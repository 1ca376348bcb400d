"""What bench/inflate.py and bench/deflate_alone.py share: the kernel built into a small shared
library with a C entry point, loaded with ctypes; interleaved timing; the command line."""

from __future__ import annotations

import argparse
import ctypes
import pathlib
import shlex
import statistics
import subprocess
import time
from typing import Callable

ROOT = pathlib.Path(__file__).resolve().parent.parent


# The sources CMakeLists.txt compiles with strict aliasing; the rest of the module is built without.
STRICT_ALIASING = {"src/flate/deflate.cpp"}

# The C++ compiler, as a command; --cxx sets it (the wheels are built with zig's clang, which
# compiles the same source to other code).
CXX = ["g++"]


def build(name: str, sources: list[str]) -> ctypes.CDLL:
    """The sources compiled with the project's flags (-O2, no -march, aliasing as the module
    has it per file) by CXX into build/bench/NAME."""
    out = ROOT / "build" / "bench" / name
    out.parent.mkdir(parents=True, exist_ok=True)
    objects = []
    for source in sources:
        obj = out.parent / (pathlib.Path(source).stem + ".o")
        aliasing = "-fstrict-aliasing" if source in STRICT_ALIASING else "-fno-strict-aliasing"
        subprocess.run([*CXX, "-std=c++20", "-O2", aliasing, "-Wall", "-Wextra", "-fPIC", "-fvisibility=hidden",
                        "-I", str(ROOT / "src"), "-c", str(ROOT / source), "-o", str(obj)], check=True)
        objects.append(str(obj))
    subprocess.run([*CXX, "-shared", *objects, "-o", str(out)], check=True)
    return ctypes.CDLL(str(out))


def timed(runs: dict[str, Callable[[], object]], rounds: int, size: int) -> tuple[dict[str, float], dict[str, float]]:
    """Each of `runs` timed in turn, `rounds` times after a warm-up round, with enough calls per
    sample that small inputs of `size` bytes are not timer noise: the median of each in ms, and
    the fastest in seconds."""
    times: dict[str, list[float]] = {name: [] for name in runs}
    repeat = max(1, int(2e6 // max(size, 1)))
    for _ in range(rounds + 1):
        for name, fn in runs.items():
            start = time.perf_counter()
            for _ in range(repeat):
                fn()
            times[name].append((time.perf_counter() - start) / repeat)
    return ({name: statistics.median(t[1:]) * 1e3 for name, t in times.items()},
            {name: min(t[1:]) for name, t in times.items()})


def main(doc: str, table: Callable[[pathlib.Path, int], str], rounds: int) -> None:
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--photos", type=pathlib.Path, default=ROOT.parent / "shared" / "corpus" / "png" / "photos")
    parser.add_argument("--rounds", type=int, default=rounds)
    parser.add_argument("--cxx", default="g++", help="the C++ compiler command, e.g. the wheels' "
                        "'python -m ziglang c++ -target x86_64-linux-gnu.2.17'")
    args = parser.parse_args()
    CXX[:] = shlex.split(args.cxx)
    print(table(args.photos, args.rounds))
