#include "runtime/function.hpp"

#include <structmember.h>

#include "runtime/convert.hpp"
#include "runtime/traceback.hpp"

namespace si {

namespace {

constexpr const char kModuleName[] = "Vorlanx.simpleImage_ext";

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;
    PyObject* code;
    PyObject* globals;
    PyObject* dict;
    PyObject* paramNames[kMaxParams];
};

// ---- argument matching -------------------------------------------------------------------

void countError(const char* funcname, int nparams, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", funcname,
                 "exactly", static_cast<Py_ssize_t>(nparams), nparams == 1 ? "" : "s", given);
}

int findName(PyObject* key, PyObject* const* names, int from, int to) {
    for (int j = from; j < to; ++j)
        if (names[j] == key) return j;
    for (int j = from; j < to; ++j) {
        int eq = PyUnicode_Compare(key, names[j]);
        if (eq == 0) return j;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

// One keyword: fills its parameter or raises the error the interpreter's functions raise.
bool takeKeyword(const char* funcname, int nparams, PyObject* const* names, Py_ssize_t npos, PyObject* key,
                 PyObject* value, Args& a) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", funcname);
        return false;
    }
    int j = findName(key, names, static_cast<int>(npos), nparams);
    if (j == -2) return false;
    if (j >= 0) {
        a.obj[j] = value;
        return true;
    }
    j = findName(key, names, 0, static_cast<int>(npos));
    if (j == -2) return false;
    if (j >= 0)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", funcname, key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", funcname, key);
    return false;
}

bool checkPositional(const char* funcname, int nparams, PyObject* const* pos, Py_ssize_t npos, Args& a) {
    if (npos > nparams) {
        countError(funcname, nparams, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) a.obj[i] = pos[i];
    return true;
}

bool checkComplete(const char* funcname, int nparams, const Args& a) {
    for (int j = 0; j < nparams; ++j) {
        if (!a.obj[j]) {
            countError(funcname, nparams, j);
            return false;
        }
    }
    return true;
}

bool matchVectorcall(const FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Args& a) {
    const FunctionSpec& s = *f->spec;
    if (!checkPositional(s.name, s.nparams, args, nargs, a)) return false;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k)
            if (!takeKeyword(s.name, s.nparams, f->paramNames, nargs, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], a))
                return false;
    }
    return checkComplete(s.name, s.nparams, a);
}

// The checks of `s`, with the exact-type tests that pass decided inline.
inline bool checkAll(const FunctionSpec& s, Args& a) {
    bool simple = true;
    for (int j = 0; j < s.nparams; ++j) {
        switch (s.checks[j]) {
            case Check::None: break;
            case Check::ExactTuple: simple &= Py_IS_TYPE(a.obj[j], &PyTuple_Type); break;
            case Check::ExactStr: simple &= Py_IS_TYPE(a.obj[j], &PyUnicode_Type); break;
            case Check::ExactBytes: simple &= Py_IS_TYPE(a.obj[j], &PyBytes_Type); break;
            case Check::Int32: simple = false; break;
        }
    }
    return simple || runChecks(s.nparams, s.params, s.checks, a);
}

PyObject* functionVectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const FunctionSpec& s = *f->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (s.kind == Kind::Method || s.kind == Kind::Class) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %s() needs an argument", s.qualname);
            return nullptr;
        }
        self = args[0];
        ++args;
        --nargs;
        if (s.selfType && !PyObject_TypeCheck(self, s.selfType)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%s'", s.name,
                         s.selfType->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
    }
    if (s.fast && !kwnames && nargs == s.nparams) {
        PyObject* result = s.fast(self, args);
        if (result || PyErr_Occurred()) return result;
    }
    Args a;
    a.self = self;
    bool matched;
    if (!kwnames && nargs == s.nparams) {
        // The common call: every parameter by position.
        for (Py_ssize_t i = 0; i < nargs; ++i) a.obj[i] = args[i];
        matched = true;
    } else {
        matched = matchVectorcall(f, args, nargs, kwnames, a);
    }
    if (!matched || !checkAll(s, a)) {
        // Argument errors of the parameterless callables carry no entry of their own.
        if (s.nparams > 0) addTraceback(s.qualname, __LINE__);
        return nullptr;
    }
    return s.body(a);
}

// ---- the type ----------------------------------------------------------------------------

PyObject* functionDescrGet(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* functionRepr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int functionTraverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int functionClear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->code);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

void functionDealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    functionClear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    for (PyObject*& p : f->paramNames) Py_CLEAR(p);
    PyObject_GC_Del(self);
}

PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }

// Pickled by reference, like a Python function.
PyObject* functionReduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef functionMethods[] = {
    {"__reduce__", functionReduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef functionMembers[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(FunctionObject, annotations), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef functionGetset[] = {
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__defaults__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject FunctionType{};

Ref makeCode(const FunctionSpec& s) {
    Ref empty(reinterpret_cast<PyObject*>(PyCode_NewEmpty("Vorlanx/simpleImage_ext.cpp", s.name, 1)));
    if (!empty) return Ref();
    bool receiver = s.kind == Kind::Method || s.kind == Kind::Class;
    Py_ssize_t nlocals = 0;
    while (s.locals && s.locals[nlocals]) ++nlocals;
    Py_ssize_t argcount = s.nparams + (receiver ? 1 : 0);
    Ref varnames(PyTuple_New(argcount + nlocals));
    if (!varnames) return Ref();
    Py_ssize_t k = 0;
    auto put = [&](const char* text) {
        PyObject* str = PyUnicode_InternFromString(text);
        if (!str) return false;
        PyTuple_SET_ITEM(varnames.get(), k++, str);
        return true;
    };
    if (receiver && !put(s.kind == Kind::Method ? "self" : "cls")) return Ref();
    for (int j = 0; j < s.nparams; ++j)
        if (!put(s.params[j])) return Ref();
    for (Py_ssize_t j = 0; j < nlocals; ++j)
        if (!put(s.locals[j])) return Ref();
    Ref replace(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kwargs(Py_BuildValue("{s:n,s:O,s:n,s:s,s:i}", "co_argcount", argcount, "co_varnames", varnames.get(),
                             "co_nlocals", argcount + nlocals, "co_qualname", s.qualname, "co_flags",
                             CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !kwargs) return Ref();
    Ref noargs(PyTuple_New(0));
    if (!noargs) return Ref();
    return Ref(PyObject_Call(replace.get(), noargs.get(), kwargs.get()));
}

}  // namespace

bool runChecks(int nparams, const char* const* params, const Check* checks, Args& a) noexcept {
    for (int j = 0; j < nparams; ++j) {
        switch (checks[j]) {
            case Check::None:
                break;
            case Check::ExactBytes:
                if (!exactTypeTest(a.obj[j], &PyBytes_Type, params[j])) return false;
                break;
            case Check::ExactStr:
                if (!exactTypeTest(a.obj[j], &PyUnicode_Type, params[j])) return false;
                break;
            case Check::ExactTuple:
                if (!exactTypeTest(a.obj[j], &PyTuple_Type, params[j])) return false;
                break;
            case Check::Int32:
                if (!toInt32(a.obj[j], a.i32[j])) return false;
                break;
        }
    }
    return true;
}

bool matchTupleDict(const char* funcname, int nparams, PyObject* const* paramNames, PyObject* argsTuple,
                    PyObject* kwargs, Args& a) noexcept {
    Py_ssize_t npos = PyTuple_GET_SIZE(argsTuple);
    if (!checkPositional(funcname, nparams, &PyTuple_GET_ITEM(argsTuple, 0), npos, a)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!takeKeyword(funcname, nparams, paramNames, npos, key, value, a)) return false;
    }
    return checkComplete(funcname, nparams, a);
}

bool isFunctionOf(PyObject* obj, const FunctionSpec& spec) noexcept {
    return Py_IS_TYPE(obj, &FunctionType) && reinterpret_cast<FunctionObject*>(obj)->spec == &spec;
}

bool readyFunctionType() noexcept {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return true;
    FunctionType.tp_name = "Vorlanx.simpleImage_ext.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = functionDescrGet;
    FunctionType.tp_repr = functionRepr;
    FunctionType.tp_traverse = functionTraverse;
    FunctionType.tp_clear = functionClear;
    FunctionType.tp_dealloc = functionDealloc;
    FunctionType.tp_methods = functionMethods;
    FunctionType.tp_members = functionMembers;
    FunctionType.tp_getset = functionGetset;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    Py_SET_REFCNT(&FunctionType, 1);  // static types are immortal
    return PyType_Ready(&FunctionType) == 0;
}

Ref makeFunction(const FunctionSpec& spec, PyObject* globals) noexcept {
    Ref annotations(PyDict_New());
    if (!annotations) return Ref();
    for (const Annotation* an = spec.annotations; an && an->name; ++an) {
        Ref value(PyUnicode_FromString(an->value));
        if (!value || PyDict_SetItemString(annotations.get(), an->name, value.get()) < 0) return Ref();
    }
    Ref code = makeCode(spec);
    if (!code) return Ref();
    Ref self(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &FunctionType)));
    if (!self) return Ref();
    auto* f = reinterpret_cast<FunctionObject*>(self.get());
    f->vectorcall = functionVectorcall;
    f->spec = &spec;
    f->name = PyUnicode_InternFromString(spec.name);
    f->qualname = PyUnicode_FromString(spec.qualname);
    f->module = PyUnicode_InternFromString(kModuleName);
    f->annotations = annotations.release();
    f->code = code.release();
    f->globals = Py_NewRef(globals);
    f->dict = nullptr;
    for (int j = 0; j < kMaxParams; ++j)
        f->paramNames[j] = j < spec.nparams ? PyUnicode_InternFromString(spec.params[j]) : nullptr;
    PyObject_GC_Track(self.get());
    if (!f->name || !f->qualname || !f->module) return Ref();
    for (int j = 0; j < spec.nparams; ++j)
        if (!f->paramNames[j]) return Ref();
    return self;
}

}  // namespace si
