// The module's own function type. Every module function and method is one of these: called
// through vectorcall, with the metadata a Python function has (__name__, __qualname__,
// __module__, __annotations__, a real __code__ naming the parameters and locals, __globals__),
// binding like a Python function, so inspect.signature() and help() work on all of them.
//
// A callable is described by a static FunctionSpec: its names, parameters, the checks made
// on them before the body runs (exact type tests, 32-bit integer conversions), and the body.
#pragma once

#include <cstdint>

#include "runtime/ref.hpp"

namespace si {

enum class Kind : uint8_t {
    Function,  // module-level function
    Method,    // instance method: receives self
    Static,    // static method: no receiver
    Class,     // class method: receives cls
};

enum class Check : uint8_t {
    None,
    ExactBytes,
    ExactStr,
    ExactTuple,
    Int32,
};

constexpr int kMaxParams = 4;

// Arguments as matched: objects are borrowed from the call; int32 holds the converted value
// of each parameter checked with Check::Int32.
struct Args {
    PyObject* self = nullptr;  // self or cls; null for module functions and static methods
    PyObject* obj[kMaxParams] = {};
    int32_t i32[kMaxParams] = {};
};

using Body = PyObject* (*)(const Args& args);

// An optional shortcut for the most common call (every argument by position, no keywords),
// tried before argument matching. It returns the result, or null without an exception to
// decline, in which case the ordinary path runs from the start. It must decline every call
// whose outcome it does not produce exactly as the ordinary path would.
using FastBody = PyObject* (*)(PyObject* self, PyObject* const* args);

struct Annotation {
    const char* name;   // parameter name or "return"
    const char* value;  // the annotation string, stored unevaluated
};

struct FunctionSpec {
    const char* name;      // "getPixel"
    const char* qualname;  // "SimpleImage.getPixel"
    Kind kind;
    int nparams;                      // not counting self/cls
    const char* params[kMaxParams];   // parameter names, in order
    Check checks[kMaxParams];
    const char* const* locals;        // null-terminated list of local names, or null
    const Annotation* annotations;    // terminated by {nullptr, nullptr}, or null
    Body body;
    // For methods: the type self must be an instance of.
    PyTypeObject* selfType = nullptr;
    FastBody fast = nullptr;
};

// Readies the function type; call once at import.
bool readyFunctionType() noexcept;

// A new function object for `spec` (which must outlive it), with `globals` as __globals__.
Ref makeFunction(const FunctionSpec& spec, PyObject* globals) noexcept;

// Whether `obj` is a function object the module made from `spec`: a call of it runs exactly
// spec.body, so a routine that holds one may run the body directly.
bool isFunctionOf(PyObject* obj, const FunctionSpec& spec) noexcept;

// Argument matching shared with the class constructor, which receives a tuple and a dict.
// `funcname` is the name used in the count error. Fills `args.obj`.
// `paramNames` are interned strings.
bool matchTupleDict(const char* funcname, int nparams, PyObject* const* paramNames, PyObject* argsTuple,
                    PyObject* kwargs, Args& args) noexcept;

// Runs the checks of `checks` over the matched arguments, parameter by parameter.
bool runChecks(int nparams, const char* const* params, const Check* checks, Args& args) noexcept;

}  // namespace si
