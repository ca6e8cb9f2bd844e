// Call-time name look-up in the module's namespace.
#include "host/module.hpp"

#include <Python.h>

#include "host/error.hpp"

namespace emberscope::host {
namespace {
thread_local RawObject* current_module = nullptr;
}

CallScope::CallScope(RawObject* module) : previous_(current_module) { current_module = module; }

CallScope::~CallScope() { current_module = previous_; }

Object global(const char* name) {
    if (current_module != nullptr) {
        PyObject* dict = PyModule_GetDict(current_module);  // borrowed
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(dict, name, &found) < 0) throw_pending();
        if (found != nullptr) return Object::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    PyObject* found = nullptr;
    if (builtins != nullptr && PyDict_GetItemStringRef(builtins, name, &found) < 0) throw_pending();
    if (found != nullptr) return Object::steal(found);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw Error();
}

}  // namespace emberscope::host
