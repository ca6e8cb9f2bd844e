// The module entry: identity, the names bound at load, and the table of operations.
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "burns/values_ops.hpp"
#include "host/calls.hpp"
#include "reports/telegram_ops.hpp"
#include "taostats/client_ops.hpp"

namespace {

using emberscope::host::keyword;
using emberscope::host::Operation;
using emberscope::host::Param;
using emberscope::host::ParamType;
using emberscope::host::required;

constexpr ParamType kText = ParamType::text;
constexpr ParamType kMap = ParamType::map;
constexpr ParamType kReal = ParamType::real;

constexpr Param kAuth[] = {required("auth", kText)};
constexpr Param kPathParamsAuth[] = {required("path", kText), required("params", kMap),
                                     required("auth", kText)};
constexpr Param kPayload[] = {required("payload", kMap)};
constexpr Param kRetries[] = {required("path", kText), required("params", kMap),
                              required("auth", kText),
                              Param{"max_retries", ParamType::whole, true, true, "", 6}};
constexpr Param kRow[] = {required("row", kMap)};
constexpr Param kValue[] = {required("value", kText)};
constexpr Param kOldNewThreshold[] = {required("old", kText), required("new", kText),
                                      required("threshold", kReal)};
constexpr Param kTextTokenChat[] = {required("text", kText), required("token", kText),
                                    required("chat_id", kText)};

namespace burns = emberscope::burns;
namespace reports = emberscope::reports;
namespace taostats = emberscope::taostats;

constexpr std::array kOperations = {
    Operation{"api_base", {}, taostats::api_base},
    Operation{"request_headers", kAuth, taostats::request_headers},
    Operation{"taostats_auth", {}, taostats::taostats_auth},
    Operation{"http_get_json", kPathParamsAuth, taostats::http_get_json},
    Operation{"is_rate_limited", kPayload, taostats::is_rate_limited},
    Operation{"with_retries", kRetries, taostats::with_retries},
    Operation{"fetch_all_subnets_latest", kAuth, taostats::fetch_all_subnets_latest},
    Operation{"owner_burn_from_row", kRow, burns::owner_burn_from_row},
    Operation{"format_owner_burn", kValue, burns::format_owner_burn},
    Operation{"owner_burn_changed", kOldNewThreshold, burns::owner_burn_changed},
    Operation{"send_burn_telegram_messages", kTextTokenChat, reports::send_burn_telegram_messages},
    Operation{"send_burn_telegram", kTextTokenChat, reports::send_burn_telegram},
};

constexpr const char* kModuleName = "bittensor_emberscope.emberscope";
constexpr long kOwnerBurnDecimals = 4;

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
    ((t.defs[I] = PyMethodDef{kOperations[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<I>)),
                              METH_FASTCALL | METH_KEYWORDS, t.docs[I].c_str()}),
     ...);
    return t;
}

MethodTable& methods() {
    static MethodTable table = make_methods(std::make_index_sequence<kOperations.size()>{});
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
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loaded_interpreter != -1 && loaded_interpreter != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    if (loaded) {
        PyErr_SetString(PyExc_ImportError,
                        "Module 'emberscope' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
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
    if (bind(module, "Any", import_attr("typing", "Any")) < 0) return -1;
    if (bind(module, "OWNER_BURN_DECIMALS", PyLong_FromLong(kOwnerBurnDecimals)) < 0) return -1;

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
    loaded_interpreter = interpreter;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    "Bittensor subnet owner burn rate monitoring via Taostats.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_emberscope() { return PyModuleDef_Init(&module_def); }
