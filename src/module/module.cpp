// Module definition: multi-phase initialisation, the namespace, and the binding of the class
// and the module-level functions.
#include <cstdio>

#include "bmp/bmp.hpp"
#include "image/image.hpp"
#include "png/png.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"
#include "runtime/traceback.hpp"

namespace si {

namespace {

constexpr const char kQualifiedName[] = "Vorlanx.simpleImage_ext";
constexpr unsigned char kPngSignature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

// The module object, once execution has started: one per process. Cleared again when an
// execution fails, so that a later import starts afresh.
PyObject* g_module = nullptr;

bool checkSingleInterpreter() {
    static int64_t mainInterpreterId = -1;
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (mainInterpreterId == -1) {
        mainInterpreterId = current;
        return current != -1;
    }
    if (mainInterpreterId != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

bool copySpecAttr(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allowNone) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allowNone && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* moduleCreate(PyObject* spec, PyModuleDef*) {
    if (!checkSingleInterpreter()) return nullptr;
    if (g_module) return Py_NewRef(g_module);
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copySpecAttr(spec, dict, "loader", "__loader__", true) ||
        !copySpecAttr(spec, dict, "origin", "__file__", true) ||
        !copySpecAttr(spec, dict, "parent", "__package__", true) ||
        !copySpecAttr(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

bool checkRuntimeVersion() {
    int major = 0, minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kQualifiedName, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool bind(PyObject* dict, const char* name, Ref value) {
    return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

// `from <moduleName> import <attr>` for each attr, binding each as it arrives.
bool importFrom(PyObject* dict, const char* moduleName, std::initializer_list<const char*> attrs) {
    Ref module(PyImport_ImportModule(moduleName));
    if (!module) return false;
    for (const char* attr : attrs) {
        Ref value(PyObject_GetAttrString(module.get(), attr));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %s", attr);
            }
            return false;
        }
        if (!bind(dict, attr, std::move(value))) return false;
    }
    return true;
}

bool installPickling(PyObject* dict) {
    PyObject* typeDict = image::SimpleImageType.tp_dict;
    bool ok = bind(typeDict, "__reduce__", makeFunction(image::kReduceSpec, dict)) &&
              bind(typeDict, "__setstate__", makeFunction(image::kSetStateSpec, dict));
    if (!ok) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", image::SimpleImageType.tp_name);
    }
    return ok;
}

Ref wrap(PyTypeObject* wrapper, Ref func) {
    if (!func) return Ref();
    return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(wrapper), func.get()));
}

bool installMethods(PyObject* dict) {
    PyObject* typeDict = image::SimpleImageType.tp_dict;
    bool ok = bind(typeDict, "_streamToImage", wrap(&PyStaticMethod_Type, makeFunction(image::kStreamToImageSpec, dict))) &&
              bind(typeDict, "open", wrap(&PyClassMethod_Type, makeFunction(image::kOpenSpec, dict))) &&
              bind(typeDict, "getPixel", makeFunction(image::kGetPixelSpec, dict)) &&
              bind(typeDict, "putPixel", makeFunction(image::kPutPixelSpec, dict)) &&
              bind(typeDict, "copy", makeFunction(image::kCopySpec, dict)) &&
              bind(typeDict, "save", makeFunction(image::kSaveSpec, dict)) &&
              bind(typeDict, "saveBmp", makeFunction(image::kSaveBmpSpec, dict));
    PyType_Modified(&image::SimpleImageType);
    return ok;
}

// Execution steps from 4 on; a failure is reported with the line of the failing step.
bool executeBody(PyObject* module, PyObject* dict, int& line) {
#define STEP(expr)                     \
    do {                               \
        if (!(expr)) {                 \
            line = __LINE__;           \
            return false;              \
        }                              \
    } while (0)
    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(kQualifiedName));
    STEP(key);
    int has = PyDict_Contains(modules, key.get());
    STEP(has >= 0);
    if (!has) STEP(PyDict_SetItem(modules, key.get(), module) == 0);

    STEP(readyFunctionType() && image::readyImageType());
    STEP(PyDict_SetItemString(dict, "SimpleImage", reinterpret_cast<PyObject*>(&image::SimpleImageType)) == 0);
    STEP(installPickling(dict));

    STEP(bind(dict, "struct", Ref(PyImport_ImportModule("struct"))));
    STEP(bind(dict, "zlib", Ref(PyImport_ImportModule("zlib"))));
    STEP(importFrom(dict, "io", {"BytesIO"}));
    STEP(importFrom(dict, "pathlib", {"Path"}));
    STEP(importFrom(dict, "typing", {"List", "Sequence", "Tuple", "Union"}));

    STEP(bind(dict, "PNG_SIGNATURE",
              Ref(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(kPngSignature), sizeof kPngSignature))));

    {
        Ref unionName(PyUnicode_InternFromString("Union"));
        STEP(unionName);
        Ref unionObj = lookup(unionName.get());
        STEP(unionObj);
        Ref path = lookup(names().Path);
        STEP(path);
        Ref members(PyTuple_Pack(4, reinterpret_cast<PyObject*>(&PyUnicode_Type), path.get(),
                                 reinterpret_cast<PyObject*>(&PyBytes_Type), reinterpret_cast<PyObject*>(&PyByteArray_Type)));
        STEP(members);
        STEP(bind(dict, "ImageInput", Ref(PyObject_GetItem(unionObj.get(), members.get()))));
    }

    STEP(bind(dict, "_readChunk", makeFunction(png::kReadChunkSpec, dict)));
    STEP(bind(dict, "_makeChunk", makeFunction(png::kMakeChunkSpec, dict)));
    STEP(bind(dict, "_writePng", makeFunction(png::kWritePngSpec, dict)));
    STEP(bind(dict, "_writeBmp", makeFunction(bmp::kWriteBmpSpec, dict)));

    STEP(installMethods(dict));

    STEP(bind(dict, "__test__", Ref(PyDict_New())));
#undef STEP
    return true;
}

int moduleExec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(module);
    PyObject* dict = PyModule_GetDict(module);
    setModuleDict(dict);

    PyObject* builtins = PyImport_AddModule("builtins");  // borrowed
    int line = 0;
    bool ok = builtins && PyObject_SetAttrString(module, "__builtins__", builtins) == 0;
    if (ok) {
        PyObject* open = PyDict_GetItemString(PyModule_GetDict(builtins), "open");
        setBuiltinOpen(open);
        ok = open && initNames() && checkRuntimeVersion();
        if (ok) {
            ok = executeBody(module, dict, line);
            if (!ok) addTracebackRaw("init Vorlanx.simpleImage_ext", line);
        }
    }
    if (!ok) {
        // Discard the half-built module: a later import starts again from creation.
        setModuleDict(nullptr);
        Py_CLEAR(g_module);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init Vorlanx.simpleImage_ext");
        return -1;
    }
    return 0;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(moduleCreate)},
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "simpleImage_ext",
    nullptr,  // no docstring
    0,
    nullptr,
    moduleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace si

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_simpleImage_ext() {
    return PyModuleDef_Init(&si::moduleDef);
}
