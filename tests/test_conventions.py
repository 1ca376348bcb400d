"""What every callable shares: metadata, argument matching, exact type tests, the 32-bit integer
conversion, traceback entries, and names read from the namespace."""
import builtins
import inspect
import pathlib
import pickle
import pydoc
import types
import warnings
from collections import namedtuple

import pytest

from conftest import MODULE, assert_entry, entries, entry_names, image

import Vorlanx.simpleImage_ext as ext

S = ext.SimpleImage
IMG = image(2, 2)

# (qualified name, function, parameters with self/cls, annotations, locals); the codec routines'
# annotations and locals are checked with the codecs themselves
CALLABLES = [
    ("_readChunk", ext._readChunk, ["stream"], {"return": "Tuple[bytes, bytes]"},
     ["lengthBytes", "length", "chunkType", "data", "crc", "expectedCrc", "actualCrc"]),
    ("_makeChunk", ext._makeChunk, ["chunkType", "data"], {"chunkType": "bytes", "data": "bytes", "return": "bytes"},
     ["length", "crcValue", "crc"]),
    ("_writePng", ext._writePng, ["path", "width", "height", "pixels"], {"return": "None"},
     ["ihdr", "raw", "pix_view", "compressed", "output"]),
    ("_writeBmp", ext._writeBmp, ["path", "width", "height", "pixels"], {"return": "None"},
     ["rowStride", "pixelArraySize", "fileSize", "pix_buf", "output", "rowPad", "padBytes",
      "y", "start", "x", "idx", "r", "g", "b"]),
    ("SimpleImage._streamToImage", S.__dict__["_streamToImage"].__func__, ["stream"], {}, ["signature"]),
    ("SimpleImage.open", S.__dict__["open"].__func__, ["cls", "source"],
     {"source": "ImageInput", "return": "'SimpleImage'"}, ["stream", "width", "height", "pixels"]),
    ("SimpleImage.getPixel", S.getPixel, ["self", "coords"],
     {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"}, ["x", "y", "index"]),
    ("SimpleImage.putPixel", S.putPixel, ["self", "coords", "value"],
     {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"}, ["x", "y", "index", "r", "g", "b"]),
    ("SimpleImage.copy", S.copy, ["self"], {"return": "'SimpleImage'"}, []),
    ("SimpleImage.save", S.save, ["self", "path"], {"path": "str", "return": "None"}, []),
    ("SimpleImage.saveBmp", S.saveBmp, ["self", "path"], {"path": "str", "return": "None"}, []),
    ("SimpleImage.__reduce__", S.__reduce__, ["self"], {}, []),
    ("SimpleImage.__setstate__", S.__setstate__, ["self", "state"], {}, []),
]


@pytest.mark.parametrize("qualname, func, params, annotations, local_names", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_function_metadata_and_signature(qualname, func, params, annotations, local_names):
    assert (func.__name__, func.__qualname__, func.__module__) == (qualname.rpartition(".")[2], qualname, MODULE)
    assert func.__doc__ is None and func.__defaults__ is None and func.__kwdefaults__ is None
    assert func.__globals__ is vars(ext)
    code = func.__code__
    assert isinstance(code, types.CodeType) and code.co_argcount == len(params)
    assert list(code.co_varnames[:len(params)]) == params
    if local_names is not None:
        assert list(code.co_varnames[len(params):]) == local_names
    sig = inspect.signature(func)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in sig.parameters.values())
    if annotations is not None:
        assert func.__annotations__ == annotations
        assert {n: p.annotation for n, p in sig.parameters.items() if p.annotation is not p.empty} == \
            {n: a for n, a in annotations.items() if n != "return"}
        assert sig.return_annotation == annotations.get("return", sig.empty)
    assert func.__name__ + str(sig) in pydoc.render_doc(func, renderer=pydoc.plaintext)


@pytest.mark.parametrize("obj, params", [
    (S, ["width", "height", "pixels"]), (IMG.getPixel, ["coords"]), (IMG.putPixel, ["coords", "value"]),
    (S.open, ["source"]), (IMG.open, ["source"]), (S._streamToImage, ["stream"]), (IMG._streamToImage, ["stream"]),
])
def test_signature_of_bound_forms(obj, params):
    assert list(inspect.signature(obj).parameters) == params


def test_binding_and_pickling_by_reference_like_python_functions():
    assert isinstance(S.__dict__["open"], classmethod) and isinstance(S.__dict__["_streamToImage"], staticmethod)
    assert IMG.getPixel.__self__ is IMG and IMG.getPixel.__func__ is S.getPixel and S.open.__self__ is S
    for func in (ext._readChunk, ext._makeChunk, ext._writePng, ext._writeBmp, S.getPixel, S.copy):
        assert pickle.loads(pickle.dumps(func)) is func


@pytest.mark.parametrize("call", [
    lambda: S.getPixel(object(), (0, 0)), lambda: S.putPixel(None, (0, 0), (1, 2, 3)), lambda: S.copy(5),
    lambda: S.save(1, "x"), lambda: S.__setstate__(1, 2), lambda: S.getPixel(), lambda: S.__dict__["open"].__func__(),
])
def test_methods_refuse_a_missing_or_foreign_receiver(call):
    with pytest.raises(TypeError):
        call()


# ---- argument matching ---------------------------------------------------------------------

def count_error(name, n, given):
    return f"{name}() takes exactly {n} positional argument{'' if n == 1 else 's'} ({given} given)"


ARGUMENT_ERRORS = [
    (lambda: S(2, 2), count_error("__cinit__", 3, 2)),
    (lambda: S(1, 1, b"abc", 4), count_error("__cinit__", 3, 4)),
    (lambda: S(width=1, pixels=b"abc"), count_error("__cinit__", 3, 1)),
    (lambda: S(1, width=1, height=1, pixels=b"abc"), "__cinit__() got multiple values for keyword argument 'width'"),
    (lambda: S(width="x", height=1, pixels=b"", depth=8), "__cinit__() got an unexpected keyword argument 'depth'"),
    (lambda: S(1, 1, b"abc", **{1: 2}), "__cinit__() keywords must be strings"),
    (lambda: IMG.getPixel(), count_error("getPixel", 1, 0)),
    (lambda: IMG.getPixel((0, 0), foo=1), "getPixel() got an unexpected keyword argument 'foo'"),
    (lambda: IMG.putPixel((0, 0)), count_error("putPixel", 2, 1)),
    (lambda: IMG.putPixel(value=(1, 2, 3)), count_error("putPixel", 2, 0)),
    (lambda: IMG.putPixel((0, 0), coords=(1, 1)), "putPixel() got multiple values for keyword argument 'coords'"),
    (lambda: IMG.copy(1), count_error("copy", 0, 1)),
    (lambda: IMG.copy(deep=True, x=1), "copy() got an unexpected keyword argument 'deep'"),
    (lambda: IMG.__reduce__(1), count_error("__reduce__", 0, 1)),
    (lambda: IMG.__setstate__(), count_error("__setstate__", 1, 0)),
    (lambda: IMG.saveBmp("a", "b"), count_error("saveBmp", 1, 2)),
    (lambda: S.open(), count_error("open", 1, 0)),
    (lambda: S._streamToImage(None, None), count_error("_streamToImage", 1, 2)),
    (lambda: ext._readChunk(), count_error("_readChunk", 1, 0)),
    (lambda: ext._makeChunk(None, None, None), count_error("_makeChunk", 2, 3)),  # before any type test
    (lambda: ext._writePng("p", 1, 1, b"", 5), count_error("_writePng", 4, 5)),
    (lambda: ext._writePng("p", 1, 1, b"", 5, mode="w"), count_error("_writePng", 4, 5)),
    (lambda: ext._writePng("p", width=1, pixels=b""), count_error("_writePng", 4, 2)),
    (lambda: ext._writePng("p", 1, 1, b"", mode="w"), "_writePng() got an unexpected keyword argument 'mode'"),
    (lambda: ext._writeBmp("p", path="q", mode="w"), "_writeBmp() got multiple values for keyword argument 'path'"),
    (lambda: ext._writeBmp("p", mode="w", path="q"), "_writeBmp() got an unexpected keyword argument 'mode'"),
    (lambda: ext._writeBmp("p", "w", 1, b"", bad=1), "_writeBmp() got an unexpected keyword argument 'bad'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS, ids=[m for _, m in ARGUMENT_ERRORS])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    if "copy()" in message or "__reduce__()" in message:
        assert entry_names(info.value) == []  # the parameterless callables add no entry for these
    else:
        assert any(n.endswith("." + message.partition("(")[0]) for n in entry_names(info.value)), entries(info.value)


def test_keywords_match_by_equal_text_and_non_strings_are_refused():
    assert IMG.getPixel(**{"".join(["coo", "rds"]): (1, 0)}) == IMG.getPixel((1, 0))
    assert S(**{"".join(["pix", "els"]): b"abcdef", "height": 1, "width": 2}).size == (2, 1)
    with pytest.raises(TypeError, match="keywords must be strings"):
        ext._makeChunk(b"", b"", **{1: 2})


# ---- exact type tests ----------------------------------------------------------------------

class BytesSub(bytes):
    pass


class StrSub(str):
    pass


Point = namedtuple("Point", "x y")

TYPE_ERRORS = [  # (call, parameter, expected type, given type name, given a subclass, routine)
    (lambda: ext._makeChunk(bytearray(), b""), "chunkType", "bytes", "bytearray", False, "_makeChunk"),
    (lambda: ext._makeChunk(None, bytearray()), "chunkType", "bytes", "NoneType", False, "_makeChunk"),
    (lambda: ext._makeChunk(BytesSub(b"IHDR"), b""), "chunkType", "bytes", "BytesSub", True, "_makeChunk"),
    (lambda: ext._makeChunk(b"IHDR", memoryview(b"")), "data", "bytes", "memoryview", False, "_makeChunk"),
    (lambda: ext._makeChunk(b"IHDR", BytesSub()), "data", "bytes", "BytesSub", True, "_makeChunk"),
    (lambda: IMG.save(pathlib.Path("out.png")), "path", "str", "PosixPath", False, "SimpleImage.save"),
    (lambda: IMG.save(None), "path", "str", "NoneType", False, "SimpleImage.save"),
    (lambda: IMG.saveBmp(b"out.bmp"), "path", "str", "bytes", False, "SimpleImage.saveBmp"),
    (lambda: IMG.saveBmp(StrSub("out.bmp")), "path", "str", "StrSub", True, "SimpleImage.saveBmp"),
    (lambda: IMG.getPixel([0, 0]), "coords", "tuple", "list", False, "SimpleImage.getPixel"),
    (lambda: IMG.getPixel(None), "coords", "tuple", "NoneType", False, "SimpleImage.getPixel"),
    (lambda: IMG.getPixel(Point(0, 0)), "coords", "tuple", "Point", True, "SimpleImage.getPixel"),
    (lambda: IMG.putPixel(Point(0, 0), (1, 2, 3)), "coords", "tuple", "Point", True, "SimpleImage.putPixel"),
]


@pytest.mark.parametrize("call, param, expected, got, subclass, qualname", TYPE_ERRORS,
                         ids=[f"{c[1]}-{c[3]}" for c in TYPE_ERRORS])
def test_exact_type_tests(call, param, expected, got, subclass, qualname):
    with pytest.raises(TypeError) as info:
        call()
    head = f"Argument '{param}' has incorrect type (expected {expected}, got {got})"
    assert str(info.value).startswith(head + ". ") and len(str(info.value)) > len(head) + 2 if subclass \
        else str(info.value) == head
    assert_entry(info.value, qualname)


def test_subclass_note_is_one_fixed_text():
    notes = set()
    for call, *_, subclass, _ in TYPE_ERRORS:
        if subclass:
            with pytest.raises(TypeError) as info:
                call()
            notes.add(str(info.value).partition(". ")[2])
    assert len(notes) == 1


# ---- signed 32-bit integer conversion ------------------------------------------------------

class IntSub(int):
    def __int__(self):  # an int subclass gives its own value; this hook is not consulted
        return 99


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


class RaisingInt:
    def __int__(self):
        raise LookupError("from __int__")


CONVERTED = [(1, 1), (True, 1), (IntSub(1), 1), (1.9, 1), (-1.9, -1), (HasInt(1), 1),
             (2**31 - 1, 2**31 - 1), (-2**31, -2**31)]
TOO_LARGE = "value too large to convert to int"
REFUSED = [  # (value, kind, exact message, or None for the interpreter's own)
    (2**31, OverflowError, TOO_LARGE), (-2**31 - 1, OverflowError, TOO_LARGE), (10**30, OverflowError, TOO_LARGE),
    (HasInt(2**40), OverflowError, TOO_LARGE), (3e9, OverflowError, TOO_LARGE),
    ("1", TypeError, "an integer is required"), (b"1", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"), (IndexOnly(), TypeError, "an integer is required"),
    (1j, TypeError, "an integer is required"),
    (HasInt(1.0), TypeError, "__int__ returned non-int (type float)"),
    (HasInt("1"), TypeError, "__int__ returned non-int (type str)"),
    (RaisingInt(), LookupError, "from __int__"), (float("nan"), ValueError, None), (float("inf"), OverflowError, None),
]


def assigned(attr):
    def assign(value):
        img = image(1, 1)
        setattr(img, attr, value)
        return getattr(img, attr)
    return assign


CONVERTERS = {
    "constructor width": (lambda v: S(v, 1, b"abc").width, "SimpleImage.__cinit__"),
    "constructor height": (lambda v: S(1, v, b"abc").height, "SimpleImage.__cinit__"),
    "width assignment": (assigned("width"), "SimpleImage.width.__set__"),
    "height assignment": (assigned("height"), "SimpleImage.height.__set__"),
    "_writePng width": (lambda v: ext._writePng("p", v, "bad", b""), "_writePng"),
    "_writeBmp height": (lambda v: ext._writeBmp("p", 1, v, b""), "_writeBmp"),
}


@pytest.mark.parametrize("value, result", CONVERTED, ids=[repr(c[0]) for c in CONVERTED])
@pytest.mark.parametrize("attr", ["width", "height"])
def test_int32_conversion_accepts(attr, value, result):
    assert assigned(attr)(value) == result
    if result == 1:  # the length check holds for a 1 x 1 image
        assert S(value, value, b"abc").size == (1, 1)


@pytest.mark.parametrize("value, kind, message", REFUSED, ids=[repr(c[0])[:30] for c in REFUSED])
@pytest.mark.parametrize("where", list(CONVERTERS))
def test_int32_conversion_refuses(where, value, kind, message):
    convert, qualname = CONVERTERS[where]
    with pytest.raises(kind) as info:
        convert(value)
    assert message is None or str(info.value) == message
    assert_entry(info.value, qualname)


def test_conversions_run_in_parameter_order():
    with pytest.raises(OverflowError):
        S(2**31, "x", b"")
    with pytest.raises(TypeError, match="an integer is required"):
        S("x", 2**31, b"")


def test_int_subclass_from_the_hook_warns_then_converts():
    with pytest.warns(DeprecationWarning) as record:
        img = S(HasInt(True), 1, b"abc")
    assert img.width == 1
    assert str(record[0].message) == (
        "__int__ returned non-int (type bool).  The ability to return an instance of a strict subclass of int "
        "is deprecated, and may be removed in a future version of Python.")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            img.height = HasInt(False)
    assert img.height == 1
    assert_entry(info.value, "SimpleImage.height.__set__")


def test_entries_point_at_the_failing_statement():
    lines = set()
    for call in (lambda: IMG.getPixel(()), lambda: IMG.getPixel((9, 9)), lambda: IMG.getPixel([0, 0])):
        with pytest.raises((TypeError, ValueError)) as info:
            call()
        lines.add(entries(info.value)[0][2])
    assert len(lines) == 3


# ---- names read from the namespace at each use ---------------------------------------------

@pytest.mark.parametrize("method, writer", [("save", "_writePng"), ("saveBmp", "_writeBmp")])
def test_writers_are_looked_up_at_each_call(monkeypatch, method, writer):
    calls = []
    monkeypatch.setattr(ext, writer, lambda *args: calls.append(args) or "ignored")
    img = image(2, 1)
    assert getattr(img, method)("out.img") is None
    assert calls == [("out.img", 2, 1, img._pixels)] and calls[0][3] is img._pixels
    monkeypatch.delattr(ext, writer)
    with pytest.raises(NameError, match=writer):
        getattr(img, method)("out.img")


def test_class_is_reached_directly_and_open_is_the_one_taken_at_import(monkeypatch, tmp_path):
    monkeypatch.setattr(ext, "SimpleImage", None)
    assert type(IMG.copy()) is S
    monkeypatch.setattr(builtins, "open", lambda *a: pytest.fail("the built-in open was looked up again"))
    monkeypatch.setattr(ext, "open", builtins.open, raising=False)
    path = tmp_path / "note.txt"
    path.write_bytes(b"neither format")
    with pytest.raises(ValueError, match="Unsupported image format"):
        S.open(str(path))
