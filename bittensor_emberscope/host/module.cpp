// Call-time name look-up in the module's namespace.
#include "host/module.hpp"

#include <Python.h>

#include <cstdint>

#include "host/error.hpp"

namespace emberscope::host {
namespace {

// Read on every look-up of a global: the initial-exec model makes it one load from the thread
// pointer instead of a call into the dynamic loader (the module is loaded once per process).
__attribute__((tls_model("initial-exec"))) thread_local RawObject* current_module = nullptr;

constexpr const char* kKeyNames[] = {"incentive_burn", "netuid", "OWNER_BURN_DECIMALS", "0", "1.0"};
static_assert(std::size(kKeyNames) == static_cast<std::size_t>(Key::count));

// Changes whenever a module's texts are made or dropped, so that no thread keeps using the
// texts of a module that is gone (a plain number: no host value outlives the interpreter).
std::uint64_t keys_generation = 1;

// The texts found for the last module this thread asked about.
struct KeysCache {
    RawObject* module;
    std::uint64_t generation;
    ModuleKeys* keys;
};
__attribute__((tls_model("initial-exec"))) thread_local KeysCache keys_cache{};

// The interned texts of the current module, or null when it keeps none.
ModuleKeys* current_keys() {
    if (current_module == nullptr) return nullptr;
    KeysCache& cache = keys_cache;
    if (cache.module == current_module && cache.generation == keys_generation) return cache.keys;
    ModuleKeys* keys = nullptr;
    PyModuleDef* def = PyModule_GetDef(current_module);
    if (def == nullptr || def->m_traverse != traverse_module_keys) {
        PyErr_Clear();
    } else {
        keys = static_cast<ModuleKeys*>(PyModule_GetState(current_module));
    }
    cache = {current_module, keys_generation, keys};
    return keys;
}

Object found_or_builtin(PyObject* found, PyObject* name) {
    if (found != nullptr) return Object::steal(found);
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && PyDict_GetItemRef(builtins, name, &found) < 0) throw_pending();
    if (found != nullptr) return Object::steal(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    throw Error();
}

}  // namespace

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

const char* key_name(Key key) { return kKeyNames[static_cast<std::size_t>(key)]; }

Object key(Key key) {
    if (ModuleKeys* keys = current_keys()) {
        if (PyObject* text = keys->texts[static_cast<std::size_t>(key)]) return Object::borrow(text);
    }
    return Object::steal(PyUnicode_InternFromString(key_name(key)));
}

Object global(Key name) {
    const Object text = key(name);
    PyObject* found = nullptr;
    if (current_module != nullptr &&
        PyDict_GetItemRef(PyModule_GetDict(current_module), text.ptr(), &found) < 0)
        throw_pending();
    return found_or_builtin(found, text.ptr());
}

int init_module_keys(RawObject* module) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return -1;
    ++keys_generation;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Key::count); ++i) {
        keys->texts[i] = PyUnicode_InternFromString(kKeyNames[i]);
        if (keys->texts[i] == nullptr) return -1;
    }
    return 0;
}

int traverse_module_keys(RawObject* module, int (*visit)(RawObject*, void*), void* arg) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return 0;
    for (PyObject* text : keys->texts) Py_VISIT(text);
    return 0;
}

int clear_module_keys(RawObject* module) {
    auto* keys = static_cast<ModuleKeys*>(PyModule_GetState(module));
    if (keys == nullptr) return 0;
    ++keys_generation;
    for (PyObject*& text : keys->texts) Py_CLEAR(text);
    return 0;
}

void free_module_keys(void* module) { clear_module_keys(static_cast<PyObject*>(module)); }

}  // namespace emberscope::host
