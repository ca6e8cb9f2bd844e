// The monitor module entry: identity, the names bound at load, and the table of operations that
// the `emberscope` command runs (the engine of engine/, over the host's services).
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "host/calls.hpp"
#include "host/monitor_ops.hpp"

namespace {

using emberscope::host::keyword;
using emberscope::host::Operation;
using emberscope::host::Param;
using emberscope::host::ParamType;

constexpr ParamType kText = ParamType::text;
constexpr ParamType kReal = ParamType::real;

constexpr Param kMaxAge{"outbox_max_age_seconds", kReal, true, true, "", 86400};
constexpr Param kBudget{"wait_budget_seconds", ParamType::optional_real, true, true, "", 0};

constexpr Param kCycle[] = {keyword("state_path", kText),      keyword("threshold", kReal),
                            keyword("burn_token", kText),      keyword("burn_chat_id", kText),
                            keyword("pause_path", kText),      keyword("interval_seconds", kReal),
                            kMaxAge,                           kBudget};
constexpr Param kSnapshot[] = {keyword("state_path", kText),   keyword("burn_token", kText),
                               keyword("burn_chat_id", kText), keyword("pause_path", kText),
                               Param{"interval_seconds", kReal, true, true, "", 300},
                               kMaxAge,                        kBudget};

namespace host = emberscope::host;

constexpr std::array kOperations = {
    Operation{"run_cycle", kCycle, host::monitor_run_cycle,
              "One watch cycle with outbox, flood control and recovery; returns its report."},
    Operation{"run_snapshot", kSnapshot, host::monitor_run_snapshot,
              "Record a fresh baseline and deliver the start-up list through the outbox; returns "
              "its report."},
};

constexpr const char* kModuleName = "bittensor_emberscope.monitor";

template <std::size_t I>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return emberscope::host::dispatch(kOperations[I], module, args, nargs, kwnames);
}

// Method records live as long as the process: the host keeps pointers to them.
struct MethodTable {
    std::array<std::string, kOperations.size()> docs;
    std::array<PyMethodDef, kOperations.size()> defs;
};

template <std::size_t... I>
MethodTable make_methods(std::index_sequence<I...>) {
    MethodTable t;
    ((t.docs[I] = emberscope::host::signature_doc(kOperations[I])), ...);
    ((t.defs[I] = PyMethodDef{kOperations[I].name, reinterpret_cast<PyCFunction>(
                                  reinterpret_cast<void (*)()>(entry<I>)),
                              METH_FASTCALL | METH_KEYWORDS, t.docs[I].c_str()}),
     ...);
    return t;
}

MethodTable& methods() {
    static MethodTable table = make_methods(std::make_index_sequence<kOperations.size()>{});
    return table;
}

bool loaded = false;

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
    if (loaded) {
        PyErr_SetString(PyExc_ImportError,
                        "Module 'monitor' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // The host services are looked up through these names at each call.
    for (const char* name : {"json", "os", "sys", "time"})
        if (bind(module, name, PyImport_ImportModule(name)) < 0) return -1;
    for (const char* name : {"urllib.error", "urllib.parse", "urllib.request"}) {
        PyObject* sub = PyImport_ImportModule(name);
        if (sub == nullptr) return -1;
        Py_DECREF(sub);
    }
    if (bind(module, "urllib", PyImport_ImportModule("urllib")) < 0) return -1;
    if (bind(module, "datetime", import_attr("datetime", "datetime")) < 0) return -1;
    if (bind(module, "timezone", import_attr("datetime", "timezone")) < 0) return -1;

    PyObject* module_name = PyUnicode_FromString(kModuleName);
    if (module_name == nullptr) return -1;
    for (PyMethodDef& def : methods().defs) {
        if (bind(module, def.ml_name, PyCFunction_NewEx(&def, module, module_name)) < 0) {
            Py_DECREF(module_name);
            return -1;
        }
    }
    Py_DECREF(module_name);
    loaded = true;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "The emberscope command's monitor engine: watch cycles with an outbox, Telegram flood "
    "control and recovery from bad listings and state files.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_monitor() { return PyModuleDef_Init(&module_def); }
