// Argument binding and checking with the host's own wording, and the error boundary.
#include "host/calls.hpp"

#include <Python.h>

#include <cmath>
#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "host/error.hpp"
#include "host/module.hpp"

// A private function of the interpreter, exported by it and declared in its internal headers
// (Include/internal/pycore_traceback.h): adds one entry, with a function name and a source
// position, to the traceback of the exception being raised. Checked against CPython 3.13; on
// any other version failures go back without the entry until it has been checked again.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define EMBERSCOPE_TRACEBACK_ENTRY 1
extern "C" void _PyTraceback_Add(const char* funcname, const char* filename, int lineno);
#else
#define EMBERSCOPE_TRACEBACK_ENTRY 0
#endif

namespace emberscope::host {
namespace {

// The source position of an operation as the package sees it ("bittensor_emberscope/...").
const char* package_relative(const char* path) {
    std::string_view p(path);
    const std::size_t at = p.rfind("bittensor_emberscope/");
    return at == std::string_view::npos ? path : path + at;
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

[[noreturn]] void missing(const Operation& op, const std::vector<const char*>& names,
                          const char* kind) {
    std::string msg = std::string(op.name) + "() missing " + std::to_string(names.size()) +
                      " required " + kind + " argument" + (names.size() == 1 ? "" : "s") +
                      ": " + quoted_list(names);
    throw_type_error(msg);
}

[[noreturn]] void too_many_positional(const Operation& op, std::size_t min_p, std::size_t max_p,
                                      std::size_t given) {
    std::string takes = min_p == max_p ? std::to_string(max_p)
                                       : "from " + std::to_string(min_p) + " to " + std::to_string(max_p);
    std::string msg = std::string(op.name) + "() takes " + takes + " positional argument" +
                      (max_p == 1 && min_p == max_p ? "" : "s") + " but " + std::to_string(given) +
                      (given == 1 ? " was" : " were") + " given";
    throw_type_error(msg);
}

const char* given_name(PyObject* value) {
    return value == Py_None ? "None" : Py_TYPE(value)->tp_name;
}

[[noreturn]] void wrong_type(const Operation& op, const Param& p, const char* expected,
                             PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", op.name, p.name,
                 expected, given_name(value));
    throw Error();
}

bool is_number(PyObject* v) {
    if (PyFloat_Check(v) || PyLong_Check(v)) return true;
    PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
    return nb != nullptr && (nb->nb_float != nullptr || nb->nb_index != nullptr);
}

std::int64_t saturating_whole(PyObject* integer) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_pending();
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    return v;
}

std::int64_t whole_from_real(double d) {
    if (std::isnan(d)) {
        PyErr_SetString(PyExc_ValueError, "cannot convert float NaN to integer");
        throw Error();
    }
    if (std::isinf(d)) {
        PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
        throw Error();
    }
    d = std::trunc(d);
    if (d >= 9.2233720368547758e18) return INT64_MAX;
    if (d <= -9.2233720368547758e18) return INT64_MIN;
    return static_cast<std::int64_t>(d);
}

[[gnu::always_inline]] inline void convert(const Operation& op, const Param& p, PyObject* value, Args& bound,
                                          Args::Slot& slot) {
    slot.object = value;
    switch (p.type) {
        case ParamType::text: {
            if (!PyUnicode_CheckExact(value)) wrong_type(op, p, "str", value);
            // Lone surrogates: strict UTF-8 refuses them, the text gets a copy of its own.
            if (!utf8_view(value, slot.text)) slot.text = bound.keep(Object::borrow(value).text());
            return;
        }
        case ParamType::map:
            if (!PyDict_CheckExact(value)) wrong_type(op, p, "dict", value);
            return;
        case ParamType::list:
            // A list with a default takes None for it.
            if (p.has_default && value == Py_None) return;
            if (!PyList_CheckExact(value)) wrong_type(op, p, "list", value);
            return;
        case ParamType::optional_real:
            if (value == Py_None) {
                slot.object = value;
                slot.real = std::nan("");
                return;
            }
            [[fallthrough]];
        case ParamType::real: {
            if (PyFloat_CheckExact(value)) {
                slot.real = PyFloat_AS_DOUBLE(value);
                return;
            }
            if (!is_number(value)) wrong_type(op, p, "a real number", value);
            slot.real = PyFloat_AsDouble(value);
            if (slot.real == -1.0 && PyErr_Occurred()) throw_pending();
            return;
        }
        case ParamType::whole: {
            if (!is_number(value)) wrong_type(op, p, "a number", value);
            if (PyLong_Check(value)) {
                slot.whole = saturating_whole(value);
            } else if (PyFloat_Check(value)) {
                slot.whole = whole_from_real(PyFloat_AS_DOUBLE(value));
            } else if (Py_TYPE(value)->tp_as_number->nb_index != nullptr) {
                Object index = Object::steal(PyNumber_Index(value));
                slot.whole = saturating_whole(index.ptr());
            } else {
                double real = PyFloat_AsDouble(value);
                if (real == -1.0 && PyErr_Occurred()) throw_pending();
                slot.whole = whole_from_real(real);
            }
            return;
        }
    }
}

// Defaults have no host value of their own: nothing is made for them.
void apply_default(const Param& p, Args::Slot& slot) {
    slot.object = nullptr;
    if (p.type == ParamType::text) {
        slot.text = p.text_default;
    } else if (p.type == ParamType::optional_real) {
        slot.real = std::nan("");
    } else {
        slot.whole = p.whole_default;
        slot.real = static_cast<double>(p.whole_default);
    }
}

void bind(const Operation& op, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
          Args& bound) {
    const std::size_t n = op.params.size();
    if (n > kMaxParams) throw std::length_error("too many parameters");
    // The usual call: every parameter given by position, in order.
    if (kwnames == nullptr && nargs == n) {
        bool by_position = true;
        for (const Param& p : op.params) by_position &= !p.keyword_only;
        if (by_position) {
            for (std::size_t i = 0; i < n; ++i) convert(op, op.params[i], args[i], bound, bound.slot(i));
            return;
        }
    }
    std::size_t positional = 0, positional_required = 0;
    for (const Param& p : op.params) {
        if (p.keyword_only) continue;
        ++positional;
        if (!p.has_default) ++positional_required;
    }
    if (nargs > positional) too_many_positional(op, positional_required, positional, nargs);

    std::array<PyObject*, kMaxParams> given{};
    for (std::size_t i = 0; i < nargs; ++i) given[i] = args[i];
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        std::size_t i = 0;
        for (; i < n; ++i)
            if (PyUnicode_CompareWithASCIIString(name, op.params[i].name) == 0) break;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", op.name, name);
            throw Error();
        }
        if (given[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", op.name,
                         op.params[i].name);
            throw Error();
        }
        given[i] = args[nargs + static_cast<std::size_t>(k)];
    }

    std::vector<const char*> missing_positional, missing_keyword;
    for (std::size_t i = 0; i < n; ++i) {
        const Param& p = op.params[i];
        if (given[i] == nullptr && !p.has_default)
            (p.keyword_only ? missing_keyword : missing_positional).push_back(p.name);
    }
    if (!missing_positional.empty()) missing(op, missing_positional, "positional");
    if (!missing_keyword.empty()) missing(op, missing_keyword, "keyword-only");

    for (std::size_t i = 0; i < n; ++i) {
        if (given[i] == nullptr)
            apply_default(op.params[i], bound.slot(i));
        else
            convert(op, op.params[i], given[i], bound, bound.slot(i));
    }
}

}  // namespace

std::string_view Args::keep(std::string text) {
    own_texts_.push_front(std::move(text));
    return own_texts_.front();
}

RawObject* dispatch(const Operation& op, RawObject* module, RawObject* const* args,
                    std::ptrdiff_t nargs, RawObject* kwnames) noexcept {
    try {
        Args bound;  // the slots stay where they were filled: texts may point into them
        bind(op, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargs)), kwnames, bound);
        CallScope scope(module);
        Object result = op.body(bound);
        return result.empty() ? none().release() : result.release();
    } catch (Error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "%s(): internal error: %s", op.name, e.what());
    }
#if EMBERSCOPE_TRACEBACK_ENTRY
    _PyTraceback_Add(op.name, package_relative(op.where.file_name()),
                     static_cast<int>(op.where.line()));
#endif
    return nullptr;
}

std::string signature_doc(const Operation& op) {
    std::string out = std::string(op.name) + "(";
    bool first = true, star = false;
    for (const Param& p : op.params) {
        if (!first) out += ", ";
        first = false;
        if (p.keyword_only && !star) {
            out += "*, ";
            star = true;
        }
        out += p.name;
        if (p.has_default) {
            out += "=";
            out += p.type == ParamType::text            ? "'" + std::string(p.text_default) + "'"
                   : p.type == ParamType::optional_real || p.type == ParamType::list ||
                             p.type == ParamType::map
                       ? std::string("None")
                                                        : std::to_string(p.whole_default);
        }
    }
    out += ")\n--\n\n";
    if (op.doc != nullptr) out += op.doc;
    return out;
}

}  // namespace emberscope::host
