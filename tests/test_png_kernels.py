"""Builds the standalone scanline-kernel checker and runs it: every SIMD path this CPU runs
must agree byte for byte with the reference over random rows."""
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = [ROOT / "tests/kernels/test_png_filters.cpp", ROOT / "src/png/filters.cpp", ROOT / "src/png/filters_x86.cpp",
           ROOT / "src/png/scanlines.cpp"]


@pytest.mark.parametrize("flags", [["-O2"], ["-O1", "-g", "-fsanitize=address,undefined", "-fno-sanitize-recover"]])
def test_simd_kernels_match_reference(tmp_path, flags):
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    program = tmp_path / "kernels"
    build = subprocess.run([compiler, "-std=c++20", "-Wall", "-Wextra", "-Werror", *flags, "-I", str(ROOT / "src"),
                            *map(str, SOURCES), "-o", str(program)], capture_output=True, text=True)
    if build.returncode and "-fsanitize=address,undefined" in flags and "sanitize" in build.stderr:
        pytest.skip("sanitizers unavailable")
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and "failures: 0" in run.stdout, run.stdout + run.stderr
