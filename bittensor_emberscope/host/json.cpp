// The host's JSON codec.
#include "host/json.hpp"

#include "host/module.hpp"

namespace emberscope::host {

Object json_loads(const Object& text) { return global("json").attr("loads").call({text}); }

bool json_loads_is_hosts_own() { return is_own_function(global("json"), "loads"); }

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
