// The host's JSON codec.
#include "host/json.hpp"

#include "host/module.hpp"

namespace emberscope::host {

Object json_loads(const Object& text) { return global("json").attr("loads").call({text}); }

bool json_loads_is_hosts_own() {
    Object json = global("json");
    if (!PyModule_Check(json.ptr())) return false;
    Object loads = json.attr("loads");
    // Defined in the json module itself under its own name: a substitute (a wrapper, a mock, a
    // lambda) lives elsewhere or is no plain function.
    if (!PyFunction_Check(loads.ptr())) return false;
    if (PyFunction_GET_GLOBALS(loads.ptr()) != PyModule_GetDict(json.ptr())) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(loads.ptr()));
    return PyUnicode_CompareWithASCIIString(code->co_name, "loads") == 0;
}

Object json_load(const Object& file) { return global("json").attr("load").call({file}); }

std::string json_dumps(const Object& value) {
    return global("json").attr("dumps").call({value}).text();
}

std::string json_dumps_sorted_indented(const Object& value) {
    Object dumps = global("json").attr("dumps");
    return dumps.call({value}, {{"indent", integer(2)}, {"sort_keys", boolean(true)}}).text();
}

bool is_json_decode_error(const Error& error) {
    return matches(error, global("json").attr("JSONDecodeError"));
}

}  // namespace emberscope::host
