#include "runtime/names.hpp"

#include <sys/stat.h>

#include <cstring>
#include <initializer_list>

namespace si {

namespace {
Names g_names{};

// type(obj).<name> bound to obj, as the interpreter looks up special methods (never on the
// instance). New reference; null without an exception when the type has no such attribute.
PyObject* lookupSpecial(PyObject* obj, PyObject* name) {
    PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
    if (!attr) return nullptr;
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return Py_NewRef(attr);
    return get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}
PyObject* g_moduleDict = nullptr;
PyObject* g_builtinOpen = nullptr;

bool intern(PyObject*& slot, const char* text) {
    if (slot) return true;
    slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}
}  // namespace

const Names& names() noexcept { return g_names; }

bool initNames() noexcept {
    Names& n = g_names;
    return intern(n.struct_, "struct") && intern(n.zlib, "zlib") && intern(n.BytesIO, "BytesIO") &&
           intern(n.Path, "Path") && intern(n.PNG_SIGNATURE, "PNG_SIGNATURE") &&
           intern(n._readChunk, "_readChunk") && intern(n._makeChunk, "_makeChunk") &&
           intern(n._writePng, "_writePng") && intern(n._writeBmp, "_writeBmp") &&
           intern(n._streamToImage, "_streamToImage") && intern(n.read, "read") &&
           intern(n.seek, "seek") && intern(n.tell, "tell") && intern(n.readinto, "readinto") && intern(n.write, "write") && intern(n.pack, "pack") &&
           intern(n.unpack, "unpack") && intern(n.crc32, "crc32") && intern(n.compress, "compress") &&
           intern(n.decompress, "decompress") && intern(n.decompressobj, "decompressobj") &&
           intern(n.unconsumed_tail, "unconsumed_tail") && intern(n.eof, "eof") && intern(n.error, "error") &&
           intern(n.startswith, "startswith") && intern(n.rb, "rb") && intern(n.wb, "wb") &&
           intern(n.enter, "__enter__") && intern(n.exit, "__exit__");
}

PyObject* moduleDict() noexcept { return g_moduleDict; }
void setModuleDict(PyObject* dict) noexcept { g_moduleDict = dict; }
PyObject* builtinOpen() noexcept { return g_builtinOpen; }
void setBuiltinOpen(PyObject* open) noexcept {
    Py_XINCREF(open);
    Py_XSETREF(g_builtinOpen, open);
}

bool isStandardFunction(PyObject* module, PyObject* name, const char* extension) noexcept {
    // Functions already proven standard, held so that their addresses stay theirs: the check
    // runs several times per chunk, and a pointer comparison is most of what it then costs.
    // Keyed by what it was proven to be: the same object bound under another name is not it.
    struct Proven {
        PyObject* function;
        PyObject* name;  // interned, so compared by address
        const char* extension;
    };
    static Proven proven[8] = {};
    if (!PyModule_CheckExact(module)) return false;
    PyObject* f = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!f) {
        PyErr_Clear();
        return false;
    }
    for (const Proven& p : proven)
        if (p.function == f && p.name == name && std::strcmp(p.extension, extension) == 0) return true;
    if (!PyCFunction_Check(f)) return false;
    auto* fn = reinterpret_cast<PyCFunctionObject*>(f);
    const char* wanted = PyUnicode_AsUTF8(name);
    if (!wanted || std::strcmp(fn->m_ml->ml_name, wanted) != 0 || !fn->m_self || !PyModule_Check(fn->m_self)) {
        PyErr_Clear();
        return false;
    }
    PyModuleDef* def = PyModule_GetDef(fn->m_self);
    if (!def || !def->m_name || std::strcmp(def->m_name, extension) != 0) return false;
    for (Proven& slot : proven)
        if (!slot.function) {
            slot = Proven{Py_NewRef(f), Py_NewRef(name), extension};
            break;
        }
    return true;
}

Ref lookup(PyObject* name) noexcept {
    PyObject* found = g_moduleDict ? PyDict_GetItemWithError(g_moduleDict, name) : nullptr;
    if (!found && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        found = builtins ? PyDict_GetItemWithError(builtins, name) : nullptr;
    }
    if (!found) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return Ref();
    }
    return Ref::borrow(found);
}

Ref callStruct(PyObject* method, PyObject* format, std::initializer_list<PyObject*> args) noexcept {
    constexpr size_t kMax = 14;
    if (args.size() > kMax - 2) {
        PyErr_SetString(PyExc_SystemError, "si::callStruct: too many arguments");
        return Ref();
    }
    Ref module = lookup(g_names.struct_);
    if (!module) return Ref();
    PyObject* argv[kMax];
    size_t n = 0;
    argv[n++] = module.get();
    argv[n++] = format;
    for (PyObject* a : args) argv[n++] = a;
    return Ref(PyObject_VectorcallMethod(method, argv, n, nullptr));
}

Ref callMethod(PyObject* obj, PyObject* method, PyObject* arg) noexcept {
    PyObject* args[] = {obj, arg};
    return Ref(PyObject_VectorcallMethod(method, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref callMethod(PyObject* obj, PyObject* method) noexcept {
    PyObject* args[] = {obj};
    return Ref(PyObject_VectorcallMethod(method, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) noexcept {
    // One slot in front so a bound method can prepend self without copying.
    PyObject* buf[8];
    if (args.size() > 7) {
        PyErr_SetString(PyExc_SystemError, "si::call: too many arguments");
        return Ref();
    }
    size_t n = 0;
    buf[0] = nullptr;
    for (PyObject* a : args) buf[1 + n++] = a;
    return Ref(PyObject_Vectorcall(callable, buf + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

bool openFile(PyObject* path, PyObject* mode, OpenedFile& out) noexcept {
    out.file = call(g_builtinOpen, {path, mode});
    if (!out.file) return false;
    // As a `with` statement does: find __enter__ and __exit__ on the type, then enter.
    Ref enter(lookupSpecial(out.file.get(), g_names.enter));
    if (!enter) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, g_names.enter);
        return false;
    }
    out.exit.reset(lookupSpecial(out.file.get(), g_names.exit));
    if (!out.exit) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, g_names.exit);
        return false;
    }
    out.stream.reset(PyObject_CallNoArgs(enter.get()));
    return bool(out.stream);
}

bool exitContext(OpenedFile& file) noexcept {
    if (!file.exit) return !PyErr_Occurred();
    Ref exit = std::move(file.exit);
    if (!PyErr_Occurred()) {
        Ref r = call(exit.get(), {Py_None, Py_None, Py_None});
        return bool(r);
    }
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref r = call(exit.get(), {type ? type : Py_None, value ? value : Py_None, tb ? tb : Py_None});
    if (!r) {
        // The exit itself failed: its exception replaces the pending one, chained to it.
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        if (value) {
            Py_INCREF(value);
            PyException_SetContext(v2, value);
        }
        PyErr_Restore(t2, v2, tb2);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    PyErr_Restore(type, value, tb);
    return false;
}

int64_t bytesLeft(PyObject* file) noexcept {
    int fd = PyObject_AsFileDescriptor(file);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        PyErr_Clear();
        return -1;
    }
    Ref position = callMethod(file, names().tell);
    long long at = position ? PyLong_AsLongLong(position.get()) : -1;
    if (at < 0) {
        PyErr_Clear();
        return -1;
    }
    return at < st.st_size ? int64_t(st.st_size - at) : 0;
}

}  // namespace si
