#include "runtime/traceback.hpp"

#include <frameobject.h>

#include <map>
#include <string>
#include <utility>

#include "runtime/names.hpp"

namespace si {

namespace {

constexpr const char kModulePrefix[] = "Vorlanx.simpleImage_ext.";
constexpr const char kSourceFile[] = "Vorlanx/simpleImage_ext.cpp";

// Code objects are made once per (routine, line): a frame built from an empty code object
// reports the code's first line as its line, so the line lives in the code object.
PyCodeObject* codeFor(const std::string& funcname, int line) {
    static std::map<std::pair<std::string, int>, PyCodeObject*> cache;
    auto key = std::make_pair(funcname, line);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    PyCodeObject* code = PyCode_NewEmpty(kSourceFile, funcname.c_str(), line);
    if (code) cache.emplace(std::move(key), code);
    return code;
}

}  // namespace

void addTracebackRaw(const char* funcname, int line) noexcept {
    PyObject* globals = moduleDict();
    if (!globals || !PyErr_Occurred()) return;
    PyCodeObject* code = nullptr;
    Ref frame;
    {
        // Making a frame looks up builtins and must not see the pending exception.
        SavedError saved;
        try {
            code = codeFor(funcname, line);
        } catch (...) {
            code = nullptr;
        }
        if (code) frame.reset(reinterpret_cast<PyObject*>(PyFrame_New(PyThreadState_Get(), code, globals, nullptr)));
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void addTraceback(const char* qualname, int line) noexcept {
    try {
        std::string name = kModulePrefix;
        name += qualname;
        addTracebackRaw(name.c_str(), line);
    } catch (...) {
    }
}

}  // namespace si
