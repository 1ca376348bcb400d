"""The importable module: its namespace, and what importing it does once, twice, or in the wrong place."""
import builtins
import copy
import gc
import importlib
import importlib.util
import inspect
import io
import os
import pathlib
import pickle
import struct
import sys
import tracemalloc
import typing
import warnings
import zlib

import pytest

from conftest import image, run_python

import Vorlanx.simpleImage_ext as ext

OWN_NAMES = [  # in the order the import binds them
    "SimpleImage", "struct", "zlib", "BytesIO", "Path", "List", "Sequence", "Tuple", "Union",
    "PNG_SIGNATURE", "ImageInput", "_readChunk", "_makeChunk", "_writePng", "_writeBmp", "__test__",
]
STANDARD_NAMES = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__", "__builtins__"}


def test_namespace_holds_exactly_its_own_names_in_binding_order():
    # a fresh interpreter: other tests rebind names, which moves them to the end
    result = run_python("import Vorlanx.simpleImage_ext as m; print(*vars(m))")
    assert result.returncode == 0, result.stderr
    names = result.stdout.split()
    assert set(names) == set(OWN_NAMES) | STANDARD_NAMES
    assert [n for n in names if n in OWN_NAMES] == OWN_NAMES


@pytest.mark.parametrize("name, expected", [
    ("struct", struct), ("zlib", zlib), ("BytesIO", io.BytesIO), ("Path", pathlib.Path),
    ("List", typing.List), ("Sequence", typing.Sequence), ("Tuple", typing.Tuple), ("Union", typing.Union),
    ("__builtins__", builtins),
])
def test_standard_objects_are_bound(m, name, expected):
    assert getattr(m, name) is expected


def test_constants(m):
    assert type(m.PNG_SIGNATURE) is bytes
    assert m.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
    assert m.ImageInput == typing.Union[str, pathlib.Path, bytes, bytearray]
    assert typing.get_args(m.ImageInput) == (str, pathlib.Path, bytes, bytearray)
    assert m.__test__ == {} and type(m.__test__) is dict


def test_module_attributes(m):
    assert m.__name__ == "Vorlanx.simpleImage_ext"
    assert m.__doc__ is None
    assert m.__package__ == "Vorlanx"
    assert m.__loader__ is m.__spec__.loader
    assert m.__file__ == m.__spec__.origin
    assert not hasattr(m, "__path__")


@pytest.mark.parametrize("name", ["_loadPng", "_applyPngFilter", "_paethPredictor", "_loadBmp", "_write_png_bytes"])
def test_internal_routines_are_not_exposed(m, name):
    assert not hasattr(m, name)


def test_class_identity(m):
    assert m.SimpleImage.__module__ == "Vorlanx.simpleImage_ext"
    assert m.SimpleImage.__qualname__ == "SimpleImage"
    assert m.SimpleImage.__bases__ == (object,)
    assert m.SimpleImage.__doc__ == "Minimal RGB image helper."


# ---- importing again -----------------------------------------------------------------------

def test_reimport_after_removal_from_sys_modules_gives_the_same_module(m):
    saved = sys.modules.pop("Vorlanx.simpleImage_ext")
    try:
        again = importlib.import_module("Vorlanx.simpleImage_ext")
        assert again is m
        assert sys.modules["Vorlanx.simpleImage_ext"] is m
    finally:
        sys.modules["Vorlanx.simpleImage_ext"] = saved


def test_reload_and_recreation_give_the_same_module(m):
    assert importlib.reload(m) is m
    assert importlib.util.module_from_spec(m.__spec__) is m
    # Nothing was rebuilt: the class and the functions are the ones already bound.
    assert m.SimpleImage(1, 1, b"abc").getPixel((0, 0)) == (97, 98, 99)


def test_execution_on_a_second_module_object_is_refused():
    # Two module objects can only exist if both are created before either is executed.
    result = run_python("""
        import _imp, importlib.util, sys
        spec = importlib.util.find_spec("Vorlanx.simpleImage_ext")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        assert first is not second
        _imp.exec_dynamic(first)
        _imp.exec_dynamic(first)  # the same object: nothing happens
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        assert sys.modules["Vorlanx.simpleImage_ext"] is first
        import Vorlanx.simpleImage_ext as m
        assert m is first
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("Module 'simpleImage_ext' has already been imported. "
                             "Re-initialisation is not supported.\n")


def test_import_issues_no_warning():
    result = run_python("import Vorlanx.simpleImage_ext", "-W", "error")
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""


@pytest.mark.parametrize("missing", ["struct", "zlib", "io", "pathlib", "typing"])
def test_missing_standard_module_fails_the_import_and_a_later_import_starts_afresh(missing):
    result = run_python(f"""
        import sys, traceback
        saved = sys.modules.get({missing!r})
        sys.modules[{missing!r}] = None
        try:
            import Vorlanx.simpleImage_ext
        except ImportError as e:
            names = [f.name for f in traceback.extract_tb(e.__traceback__)]
            assert "init Vorlanx.simpleImage_ext" in names, names
            assert {missing!r} in str(e), str(e)
        else:
            raise AssertionError("import succeeded")
        assert "Vorlanx.simpleImage_ext" not in sys.modules
        if saved is None:
            del sys.modules[{missing!r}]
        else:
            sys.modules[{missing!r}] = saved
        import Vorlanx.simpleImage_ext as m
        img = m.SimpleImage(1, 1, b"xyz")
        assert img.getPixel((0, 0)) == (120, 121, 122)
        assert m.SimpleImage is type(img) and callable(m._writePng) and m.__test__ == {{}}
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_second_interpreter_is_refused():
    result = run_python("""
        import _xxsubinterpreters as interpreters
        import Vorlanx.simpleImage_ext
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import Vorlanx.simpleImage_ext")
        except interpreters.RunFailedError as e:
            print(e)
        interpreters.destroy(sub)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("<class 'ImportError'>: Interpreter change detected - this module can only be "
                             "loaded into one interpreter per process.\n")


# ---- memory: every entry point, succeeding and failing, many times ---------------------------

def _leak_cases():
    S = ext.SimpleImage
    img = image(4, 3)
    sub = type("Sub", (S,), {})(1, 1, b"abc")
    cleared = image(1, 1)
    cleared._pixels = None
    wrong = image(2, 1)
    wrong.width = 5
    return {  # name: (call, the exception it must raise or None)
        "construct": (lambda: S(4, 3, bytes(36)), None),
        "construct by keyword": (lambda: S(pixels=[1, 2, 3], height=1, width=1.5), None),
        "construct count": (lambda: S(1, 1), TypeError),
        "construct keyword": (lambda: S(1, 1, b"abc", depth=1), TypeError),
        "construct non-str keyword": (lambda: S(1, 1, b"abc", **{1: 1}), TypeError),
        "construct conversion": (lambda: S("1", 1, b"abc"), TypeError),
        "construct overflow": (lambda: S(2**31, 1, b"abc"), OverflowError),
        "construct length": (lambda: S(1, 1, b"ab"), ValueError),
        "construct bytearray": (lambda: S(1, 1, [0, 0, 256]), ValueError),
        "construct deprecation": (lambda: S(_BoolHook(), 1, b"abc"), DeprecationWarning),
        "subclass": (lambda: type(sub)(1, 1, b"abc").getPixel((0, 0)), None),
        "attributes": (lambda: (img.width, img.height, img.size, img._pixels), None),
        "set dimensions": (lambda: (setattr(img, "width", 4.0), setattr(img, "height", _Int(3))), None),
        "set dimension refused": (lambda: setattr(img, "width", None), TypeError),
        "delete dimension": (lambda: delattr(img, "height"), NotImplementedError),
        "set pixels": (lambda: setattr(sub, "_pixels", bytearray(3)), None),
        "set pixels refused": (lambda: setattr(img, "_pixels", b"x" * 36), TypeError),
        "get fast": (lambda: img.getPixel((3, 2)), None),
        "get general": (lambda: img.getPixel((True, _Int(2))), None),
        "get out of bounds": (lambda: img.getPixel((10**30, 0)), ValueError),
        "get unpack": (lambda: img.getPixel((0, 0, 0)), ValueError),
        "get type": (lambda: img.getPixel([0, 0]), TypeError),
        "get index": (lambda: img.getPixel((0.0, 0)), TypeError),
        "get cleared": (lambda: cleared.getPixel((0, 0)), TypeError),
        "put fast": (lambda: img.putPixel((1, 1), (1, 2, 3)), None),
        "put general": (lambda: img.putPixel((1, _Int(1)), [2**70, "7", 1.5]), None),
        "put generator": (lambda: img.putPixel((1, 1), (v for v in (1, 2, 3))), None),
        "put too many": (lambda: img.putPixel((1, 1), range(9)), ValueError),
        "put conversion": (lambda: img.putPixel((1, 1), (1, None, 3)), TypeError),
        "put cleared": (lambda: cleared.putPixel((0, 0), (1, 2, 3)), TypeError),
        "copy": (lambda: img.copy(), None),
        "copy cleared": (lambda: cleared.copy(), TypeError),
        "copy mismatch": (lambda: wrong.copy(), ValueError),
        "copy argument": (lambda: img.copy(1), TypeError),
        "pickle": (lambda: pickle.dumps(img), TypeError),
        "deepcopy": (lambda: copy.deepcopy(img), TypeError),
        "open refused": (lambda: S.open(None), TypeError),
        "save refused": (lambda: img.save(pathlib.Path("x")), TypeError),
        "makeChunk refused": (lambda: ext._makeChunk(b"IHDR", bytearray()), TypeError),
        "writePng count": (lambda: ext._writePng("p", 1, 1, b"", 5), TypeError),
        "writeBmp conversion": (lambda: ext._writeBmp("p", 1, "1", b""), TypeError),
        "signature": (lambda: inspect.signature(img.putPixel), None),
    }


class _Int(int):
    def __int__(self):  # only called by int(); the 32-bit conversion takes the value as it is
        return int.__int__(self)


class _BoolHook:
    def __int__(self):  # a strict int subclass from __int__: warns
        return True


LEAK_CASES = _leak_cases()


def _traced_growth(call, kind, rounds):
    def once():
        try:
            call()
        except Exception as e:
            if kind is None or not isinstance(e, kind):
                raise
        else:
            assert kind is None, "expected a failure"

    with warnings.catch_warnings():
        warnings.simplefilter("error" if kind is DeprecationWarning else "ignore")
        for _ in range(200):  # caches, free lists and interned names settle first
            once()
        gc.collect()
        tracemalloc.start()
        try:
            for _ in range(rounds):
                once()
            gc.collect()
            start = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                once()
            gc.collect()
            return tracemalloc.get_traced_memory()[0] - start
        finally:
            tracemalloc.stop()


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_leak(name):
    rounds = 2000
    growth = _traced_growth(*LEAK_CASES[name], rounds)
    assert growth < rounds * 4, f"{growth} bytes kept after {rounds} calls"


def _rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(bool(os.environ.get("SI_SANITIZED")), reason="the sanitizer's quarantine holds freed memory")
def test_large_buffers_are_released():
    S = ext.SimpleImage
    side = 512
    data = bytes(side * side * 3)
    bad = [0] * (side * side * 3 - 1) + [256]
    img = S(side, side, data)

    def churn():
        for _ in range(40):
            img.copy()
            S(side, side, data)
            S(side, side, img._pixels)
            with pytest.raises(ValueError):
                S(side, side, bad)
            img._pixels = bytearray(data)
            img.putPixel((side - 1, side - 1), (1, 2, 3))

    churn()
    gc.collect()
    before = _rss()
    for _ in range(3):
        churn()
    gc.collect()
    # 480 leaked buffers would be ~380 MB; allow the allocator plenty of slack
    assert _rss() - before < 40 * 2**20
