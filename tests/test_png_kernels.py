"""Builds the standalone kernel checkers and runs them: every SIMD path of the scanline kernels
must agree byte for byte with the reference over random rows, the inflater with zlib's inflate
on every stream, cut and output size of its table, the deflater with zlib's compress2 at level 6
on its table of hard cases, and the dispatch's view of the processor with the operating
system's. CXX, when set, names the compiler (as the wheel builds set it)."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROGRAMS = {
    "filters": (["tests/kernels/test_png_filters.cpp", "src/png/filters.cpp", "src/png/filters_x86.cpp",
                 "src/png/scanlines.cpp"], []),
    "inflate": (["tests/kernels/test_inflate.cpp", "src/flate/inflate.cpp", "src/flate/adler32.cpp",
                 "src/flate/adler32_x86.cpp"], ["-lz"]),
    "deflate": (["tests/kernels/test_deflate.cpp", "src/flate/deflate.cpp", "src/flate/adler32.cpp",
                 "src/flate/adler32_x86.cpp"], ["-lz"]),
    "cpu": (["tests/kernels/test_cpu_features.cpp"], []),
}


@pytest.mark.parametrize("program", PROGRAMS)
@pytest.mark.parametrize("flags", [["-O2"], ["-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover"]])
def test_kernels_match_reference(tmp_path, program, flags):
    compiler = os.environ.get("CXX") or shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    sources, libs = PROGRAMS[program]
    binary = tmp_path / program
    build = subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", *flags, "-I", str(ROOT / "src"),
                            "-I", str(ROOT / "tests"), *(str(ROOT / s) for s in sources), *libs, "-o", str(binary)],
                           capture_output=True, text=True)
    if build.returncode and "-fsanitize=address,undefined" in flags and "sanitize" in build.stderr:
        pytest.skip("sanitizers unavailable")
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "failures: 0" in run.stdout, run.stdout + run.stderr
