import os
import subprocess
import sys
import textwrap
import traceback

import pytest

import Vorlanx.simpleImage_ext as ext

MODULE = "Vorlanx.simpleImage_ext"
SOURCE_FILE = "Vorlanx/simpleImage_ext.cpp"


@pytest.fixture
def m():
    return ext


def image(width, height, data=None):
    """A width x height image whose bytes count up from 0 (mod 256) unless `data` is given."""
    if data is None:
        data = bytes(i % 256 for i in range(width * height * 3))
    return ext.SimpleImage(width, height, data)


def entries(exc):
    """(file, function, line) of every traceback entry that the module added to `exc`."""
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.name.startswith(MODULE)]


def entry_names(exc):
    return [name for _, name, _ in entries(exc)]


def assert_entry(exc, qualname):
    """`exc` carries exactly one entry for the routine `qualname`, with the module's file name."""
    found = [(f, line) for f, name, line in entries(exc) if name == MODULE + "." + qualname]
    assert len(found) == 1, entries(exc)
    assert found[0][0] == SOURCE_FILE
    assert found[0][1] > 0


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter with this environment (so the module under test is found)."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], env=dict(os.environ),
                          capture_output=True, text=True, timeout=120)
