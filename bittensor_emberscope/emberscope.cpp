// The module entry: identity, the names bound at load, and the table of operations.
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "burns/changes_ops.hpp"
#include "burns/state_ops.hpp"
#include "burns/values_ops.hpp"
#include "host/calls.hpp"
#include "host/http.hpp"
#include "driver/poll_ops.hpp"
#include "driver/watch_ops.hpp"
#include "reports/telegram_ops.hpp"
#include "reports/texts_ops.hpp"
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
constexpr ParamType kList = ParamType::list;
constexpr ParamType kWhole = ParamType::whole;

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
constexpr Param kPath[] = {required("path", kText)};
constexpr Param kPathBurnsUpdatedAt[] = {required("path", kText), required("burns", kMap),
                                         required("updated_at", kText)};
constexpr Param kPrevCurrentThreshold[] = {required("prev", kMap), required("current", kMap),
                                           required("threshold", kReal)};
constexpr Param kChangesUpdatedAt[] = {required("changes", kList), required("updated_at", kText)};
constexpr Param kRowsUpdatedAt[] = {required("rows", kList), required("updated_at", kText)};
constexpr Param kTextMaxLen[] = {required("text", kText),
                                 Param{"max_len", kWhole, false, true, "", 3900}};
constexpr Param kTextTokenChat[] = {required("text", kText), required("token", kText),
                                    required("chat_id", kText)};
constexpr Param kOnce[] = {keyword("state_path", kText), keyword("threshold", kReal),
                           keyword("burn_token", kText), keyword("burn_chat_id", kText)};
constexpr Param kSnapshot[] = {keyword("state_path", kText), keyword("burn_token", kText),
                               keyword("burn_chat_id", kText)};
constexpr Param kPausePath[] = {required("pause_path", kText)};
constexpr Param kIntervalPause[] = {required("interval_seconds", kReal),
                                    required("pause_path", kText)};
constexpr Param kExchange[] = {required("url", kText), keyword("timeout", kWhole),
                               keyword("body_limit", kWhole), keyword("deadline_seconds", kReal)};
constexpr Param kPollLoop[] = {keyword("state_path", kText),     keyword("threshold", kReal),
                               keyword("interval_minutes", kReal), keyword("burn_token", kText),
                               keyword("burn_chat_id", kText),
                               Param{"pause_path", kText, true, true, "", 0}};

namespace burns = emberscope::burns;
namespace driver = emberscope::driver;
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
    Operation{"load_burn_state", kPath, burns::load_burn_state},
    Operation{"save_burn_state", kPathBurnsUpdatedAt, burns::save_burn_state},
    Operation{"diff_burns", kPrevCurrentThreshold, burns::diff_burns},
    Operation{"format_burn_alert", kChangesUpdatedAt, reports::format_burn_alert},
    Operation{"format_burn_snapshot", kRowsUpdatedAt, reports::format_burn_snapshot},
    Operation{"_chunk_text", kTextMaxLen, reports::chunk_text},
    Operation{"send_burn_telegram_messages", kTextTokenChat, reports::send_burn_telegram_messages},
    Operation{"send_burn_telegram", kTextTokenChat, reports::send_burn_telegram},
    Operation{"run_emberscope_once", kOnce, driver::run_emberscope_once_op},
    Operation{"run_burn_startup_snapshot", kSnapshot, driver::run_burn_startup_snapshot_op,
              "Fetch all subnets and send full burn-rate snapshot to burn Telegram."},
    Operation{"_burn_is_paused", kPausePath, driver::burn_is_paused_op},
    Operation{"_sleep_until_interval", kIntervalPause, driver::sleep_until_interval_op,
              "Sleep in 1s steps. Returns False if paused before interval elapsed."},
    Operation{"run_burn_poll_loop", kPollLoop, driver::run_burn_poll_loop_op},
    Operation{"_http_exchange", kExchange, emberscope::host::http_exchange_op,
              "One GET: (status, body read, longer than body_limit)."},
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
