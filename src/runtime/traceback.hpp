// Traceback entries for failures leaving the module's routines. Each entry names the routine
// ("Vorlanx.simpleImage_ext." + its qualified name) and the source line that failed, so a
// user's traceback reads like one through Python code.
#pragma once

#include "runtime/ref.hpp"

namespace si {

// Adds an entry for `qualname` (e.g. "_loadPng", "SimpleImage.open") at `line` to the
// exception currently set. Never fails: if the entry cannot be made, the exception stands.
void addTraceback(const char* qualname, int line) noexcept;

// Same with the name taken as it is ("init Vorlanx.simpleImage_ext").
void addTracebackRaw(const char* funcname, int line) noexcept;

}  // namespace si

// Marks the failing statement and leaves the routine: `return {}` is null for PyObject*,
// an empty Ref, false for bool.
#define SI_FAIL(qualname)                         \
    do {                                          \
        ::si::addTraceback((qualname), __LINE__); \
        return {};                                \
    } while (0)

// Evaluates `expr` (a pointer, a Ref or a bool) and leaves through SI_FAIL when it is false.
#define SI_TRY(qualname, expr) \
    do {                       \
        if (!(expr)) SI_FAIL(qualname); \
    } while (0)
