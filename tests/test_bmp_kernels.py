"""Builds and runs the standalone row-kernel test: the vectorised red/blue swap must match the
scalar reference on random rows of every width modulo 4 and many widths."""
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("flags", [["-O2"], ["-O0", "-fsanitize=address,undefined", "-fno-sanitize-recover"]],
                         ids=["optimised", "sanitized"])
def test_vector_and_scalar_kernels_agree(tmp_path, flags):
    if shutil.which("g++") is None:
        pytest.skip("g++ not available")
    exe = tmp_path / "test_bmp_rows"
    build = subprocess.run(["g++", *flags, "-std=c++20", "-Wall", "-Wextra", "-Werror", "-I", str(ROOT / "src"),
                            str(ROOT / "tests/kernels/test_bmp_rows.cpp"), str(ROOT / "src/bmp/rows.cpp"),
                            "-o", str(exe)], capture_output=True, text=True)
    if build.returncode != 0 and "sanitize" in " ".join(flags) and "asan" in build.stderr.lower():
        pytest.skip("sanitizer runtime not available")
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip().splitlines()[-1].startswith("ok ")
