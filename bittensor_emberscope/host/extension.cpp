// A module's definition and its loading into the interpreter.
#include "host/extension.hpp"

#include <Python.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "host/burns_values_ops.hpp"
#include "host/module.hpp"

namespace emberscope::host {
namespace {

template <std::size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return dispatch(module_spec.operations[I], module, args, nargs, kwnames);
}

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<Entry, sizeof...(I)> make_entries(std::index_sequence<I...>) {
    return {entry<I>...};
}

constexpr auto kEntries = make_entries(std::make_index_sequence<kMaxOperations>{});

// Method records live as long as the process: the host keeps pointers to them.
struct MethodTable {
    std::array<std::string, kMaxOperations> docs;
    std::array<PyMethodDef, kMaxOperations> defs;
};

MethodTable& methods() {
    static MethodTable table = [] {
        MethodTable t;
        for (std::size_t i = 0; i < module_spec.operations.size(); ++i) {
            t.docs[i] = signature_doc(module_spec.operations[i]);
            t.defs[i] = PyMethodDef{module_spec.operations[i].name,
                                    reinterpret_cast<PyCFunction>(
                                        reinterpret_cast<void (*)()>(kEntries[i])),
                                    METH_FASTCALL | METH_KEYWORDS, t.docs[i].c_str()};
        }
        return t;
    }();
    return table;
}

bool loaded = false;
int64_t loaded_interpreter = -1;

int bind(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    int rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc;
}

PyObject* import_attr(const char* module, const char* attr) {
    PyObject* m = PyImport_ImportModule(module);
    if (m == nullptr) return nullptr;
    PyObject* value = PyObject_GetAttrString(m, attr);
    Py_DECREF(m);
    return value;
}

int exec_module(PyObject* module) {
    if (module_spec.operations.size() > kMaxOperations) {
        PyErr_SetString(PyExc_SystemError, "more operations than entry functions");
        return -1;
    }
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loaded_interpreter != -1 && loaded_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    if (loaded) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_spec.short_name);
        return -1;
    }
    if (init_module_keys(module) < 0) return -1;
    for (const char* name : {"json", "os", "sys", "time"})
        if (bind(module, name, PyImport_ImportModule(name)) < 0) return -1;
    if (module_spec.host_http) {
        for (const char* name : {"urllib.error", "urllib.parse", "urllib.request"}) {
            PyObject* sub = PyImport_ImportModule(name);
            if (sub == nullptr) return -1;
            Py_DECREF(sub);
        }
        if (bind(module, "urllib", PyImport_ImportModule("urllib")) < 0) return -1;
    }
    if (bind(module, "datetime", import_attr("datetime", "datetime")) < 0) return -1;
    if (bind(module, "timezone", import_attr("datetime", "timezone")) < 0) return -1;
    if (module_spec.documented_names) {
        if (bind(module, "Any", import_attr("typing", "Any")) < 0) return -1;
        if (bind(module, "OWNER_BURN_DECIMALS",
                 PyLong_FromLong(burns::kDefaultOwnerBurnDecimals)) < 0)
            return -1;
    }

    for (const Constant& constant : module_spec.constants)
        if (bind(module, constant.name,
                 constant.text ? PyUnicode_FromString(constant.text) : PyFloat_FromDouble(constant.value)) < 0)
            return -1;

    PyObject* module_name = PyUnicode_FromString(module_spec.qualified_name);
    if (module_name == nullptr) return -1;
    MethodTable& table = methods();
    for (std::size_t i = 0; i < module_spec.operations.size(); ++i) {
        PyMethodDef& def = table.defs[i];
        if (bind(module, def.ml_name, PyCFunction_NewEx(&def, module, module_name)) < 0) {
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    loaded = true;
    loaded_interpreter = interpreter;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // The module keeps process-wide state (the loaded flag above), so it lives in one
    // interpreter per process. The slot still says "supported" (not per-GIL) so that the
    // interpreter lets a legacy sub-interpreter reach exec_module, whose refusal names the
    // reason; an interpreter with its own GIL is refused by the interpreter itself.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, nullptr, nullptr, sizeof(ModuleKeys), nullptr, slots,
    traverse_module_keys, clear_module_keys, free_module_keys,
};

PyObject* init_module() {
    module_def.m_name = module_spec.qualified_name;
    module_def.m_doc = module_spec.doc;
    return PyModuleDef_Init(&module_def);
}

}  // namespace
}  // namespace emberscope::host

// Each extension exports only its own entry (cmake/emberscope.map, cmake/monitor.map).
PyMODINIT_FUNC PyInit_emberscope() { return emberscope::host::init_module(); }
PyMODINIT_FUNC PyInit_monitor() { return emberscope::host::init_module(); }
