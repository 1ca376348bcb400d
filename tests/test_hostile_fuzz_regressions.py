"""Faults the objects fuzz target found, kept as regression tests: each runs its standalone
script from fuzz/findings/ (which says what it shows) in a fresh interpreter, since some of the
faults crash it, and expects the output of the fixed module. Marked as expected failures while
the faults stand; the marks are strict, so a fix turns its test red until its mark goes."""
import os
from pathlib import Path

import pytest

from conftest import run_python

FINDINGS = Path(__file__).resolve().parent.parent / "fuzz" / "findings"


def open_fault(reason, *marks):
    return [pytest.mark.xfail(strict=True, reason=reason), *marks]


@pytest.mark.parametrize("script, flags, fixed_output", [
    pytest.param("ctor_kwargs_borrowed.py", ("-X", "dev"), "(1, 1) bytearray(b'abc')",
                 marks=open_fault("the constructor borrows its arguments from the caller's keyword dictionary")),
    pytest.param("len_with_error_set.py", (), "KeyError 'tail'",
                 marks=open_fault("the decoder measures its input with the tail's len() error still set")),
    pytest.param("path_read_claims.py", (), "\n".join([
        "png bytes ValueError Unexpected EOF while reading chunk data",
        "png path  ValueError Unexpected EOF while reading chunk data",
        "bmp bytes ValueError Incomplete BMP pixel data",
        "bmp path  ValueError Incomplete BMP pixel data",
    ]), marks=open_fault(
        "a file's read(n) reserves the n a header claims before reading",
        # It caps the address space, which the sanitizer's shadow memory cannot live with.
        pytest.mark.skipif(bool(os.environ.get("SI_SANITIZED")), reason="limits the address space"))),
])
def test_finding_is_fixed(script, flags, fixed_output):
    result = run_python((FINDINGS / script).read_text(), *flags)
    assert (result.returncode, result.stdout.strip()) == (0, fixed_output), result.stderr[-2000:]
