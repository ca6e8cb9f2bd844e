// Environment, clock, sleep, console and file tests, reached through the module's names.
#include "host/services.hpp"

#include <Python.h>

#include "host/error.hpp"
#include "host/module.hpp"
#include "host/object.hpp"

namespace emberscope::host {

std::optional<std::string> environment(std::string_view name) {
    Object value = global("os").attr("environ").attr("get").call({text(name)});
    switch (value.kind()) {
        case Kind::null: return std::nullopt;
        case Kind::text:
            if (value.type_name() == "str") return value.text();
            [[fallthrough]];
        default: throw_result_type_error("str", value);
    }
}

std::string utc_now(std::string_view pattern) {
    Object utc = global("timezone").attr("utc");
    Object now = global("datetime").attr("now").call({utc});
    Object stamp = now.attr("strftime").call({text(pattern)});
    if (stamp.kind() != Kind::text) throw_result_type_error("str", stamp);
    return stamp.text();
}

void sleep(double seconds) {
    // A signal that arrived between two sleeps has no system call to interrupt, and no
    // interpreted code runs in our loops to notice it: handle it here, so Ctrl-C always ends
    // a wait within one step.
    if (PyErr_CheckSignals() < 0) throw_pending();
    global("time").attr("sleep").call({real(seconds)});
}

void write_stderr(std::string_view line) {
    global("sys").attr("stderr").attr("write").call({text(line)});
}

bool is_file(std::string_view path) {
    return global("os").attr("path").attr("isfile").call({text(path)}).truthy();
}

}  // namespace emberscope::host
