"""The constructor reads its keyword arguments after running a caller's __int__, through
pointers borrowed from the caller's keyword dictionary: when that __int__ empties the
dictionary, `pixels` is freed before it is measured and copied.

Python code always hands a callee a fresh dictionary, but a C caller (PyObject_Call, here
through ctypes) passes its own, and the type's tp_new receives it as it is.

    PYTHONMALLOC=malloc LD_PRELOAD=<asan runtime> PYTHONPATH=build/fuzz python3 fuzz/findings/ctor_kwargs_borrowed.py

Expected: SimpleImage(1, 1, b"abc") or an ordinary exception. Seen: heap-use-after-free under
AddressSanitizer; a segmentation fault with PYTHONMALLOC=debug.
"""
import ctypes

from Vorlanx.simpleImage_ext import SimpleImage

call = ctypes.pythonapi.PyObject_Call
call.restype = ctypes.py_object
call.argtypes = (ctypes.py_object,) * 3


class Emptying:
    def __init__(self, kwargs):
        self.kwargs = kwargs

    def __int__(self):
        self.kwargs.clear()
        return 1


kwargs = {"height": 1, "pixels": bytearray(b"abc")}  # the dictionary holds the only reference
kwargs["width"] = Emptying(kwargs)
image = call(SimpleImage, (), kwargs)
print(image.size, image._pixels)
