// The module namespace and the names the routines use. Names such as `zlib` or `_readChunk`
// are read from the namespace at every use (then from the builtins), so rebinding them in the
// module changes what the routines call: that is how a faster zlib-compatible module is
// plugged in. Nothing read from the namespace is cached.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/ref.hpp"

namespace si {

// Interned strings made once at import: attribute, method and namespace names.
struct Names {
    PyObject* struct_;
    PyObject* zlib;
    PyObject* BytesIO;
    PyObject* Path;
    PyObject* PNG_SIGNATURE;
    PyObject* _readChunk;
    PyObject* _makeChunk;
    PyObject* _writePng;
    PyObject* _writeBmp;
    PyObject* _streamToImage;
    PyObject* read;
    PyObject* seek;
    PyObject* tell;
    PyObject* readinto;
    PyObject* write;
    PyObject* pack;
    PyObject* unpack;
    PyObject* crc32;
    PyObject* compress;
    PyObject* decompress;
    PyObject* decompressobj;
    PyObject* unconsumed_tail;
    PyObject* eof;
    PyObject* error;
    PyObject* startswith;
    PyObject* rb;
    PyObject* wb;
    PyObject* enter;
    PyObject* exit;
};

// Valid once the module has been executed.
const Names& names() noexcept;
bool initNames() noexcept;

PyObject* moduleDict() noexcept;     // borrowed; null before the module is executed
void setModuleDict(PyObject* dict) noexcept;  // borrowed reference, the module keeps it alive
PyObject* builtinOpen() noexcept;    // borrowed; the built-in `open` taken at import
void setBuiltinOpen(PyObject* open) noexcept;  // takes a new reference

// The object bound to `name` in the module namespace, else among the builtins; NameError
// when neither has it. New reference, or null with an exception set.
Ref lookup(PyObject* name) noexcept;

// struct.<method>(format, args...), with `struct` read from the module namespace at this call,
// so rebinding the module's `struct` changes what the codecs pack and unpack with.
Ref callStruct(PyObject* method, PyObject* format, std::initializer_list<PyObject*> args) noexcept;

// Whether `module.<name>` is certainly the built-in function `name` of the standard extension
// module `extension` (e.g. "zlib", "_struct"): `module` is a plain module object and the
// function is bound in its dictionary. What such a call returns is known, so a routine may
// compute it directly; anything rebound or replaced is called as usual. Never sets an error.
bool isStandardFunction(PyObject* module, PyObject* name, const char* extension) noexcept;

// Calls `obj.method(args...)`; a new reference or null with an exception set.
Ref callMethod(PyObject* obj, PyObject* method, PyObject* arg) noexcept;
Ref callMethod(PyObject* obj, PyObject* method) noexcept;
Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept;

// Opens `path` with the built-in `open` in `mode` and enters it as a context manager, the way
// a `with` statement does. Leave it with exitContext on every way out.
struct OpenedFile {
    Ref file;   // the object `open` returned
    Ref exit;   // its bound __exit__
    Ref stream; // what __enter__ returned
};
bool openFile(PyObject* path, PyObject* mode, OpenedFile& out) noexcept;
// The bytes between the position of `file`, a file the module opened itself, and the end of
// the regular file it reads; -1, with no error set, when that cannot be told (a pipe, a
// device). Lets a reader refuse a size a header claims without reserving it first.
int64_t bytesLeft(PyObject* file) noexcept;

// Runs __exit__ like the end of a `with` block: with (None, None, None) when no exception is
// set, else with the pending exception, which stays set afterwards (unless a failing exit
// replaces it). Returns false when an exception is set on return.
bool exitContext(OpenedFile& file) noexcept;

}  // namespace si
