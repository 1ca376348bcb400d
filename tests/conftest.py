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


# ---- the collector-torture mode ---------------------------------------------------------------
# --torture=collect (or SI_TORTURE=collect): every test runs with the collector running at
# nearly every tracked allocation, its finalizers only allocating; every assertion must hold.
# --torture=hostile: only the tests marked `tolerant` run, with finalizers that change what is
# in flight (collector.py); their oracle accepts only documented outcomes.

def pytest_addoption(parser):
    parser.addoption("--torture", choices=("off", "collect", "hostile"), default=os.environ.get("SI_TORTURE", "off"),
                     help="run tests under a collector that runs finalizers at nearly every allocation")


def pytest_configure(config):
    config.addinivalue_line("markers", "tolerant: the test's oracle holds under hostile finalizers")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--torture") == "hostile":
        keep = [item for item in items if item.get_closest_marker("tolerant")]
        config.hook.pytest_deselected(items=[item for item in items if item not in keep])
        items[:] = keep


@pytest.fixture
def torture_mode(request):
    return request.config.getoption("--torture")


@pytest.fixture(autouse=True)
def _collector_torture(request):
    if request.config.getoption("--torture") != "collect" or request.node.get_closest_marker("tolerant"):
        yield
        return
    from collector import Torture
    with Torture():
        yield
