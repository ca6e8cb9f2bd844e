// Host exceptions in flight through C++ frames.
#include "host/error.hpp"

#include <Python.h>

#include <optional>
#include <utility>

#include "common/utf8.hpp"

namespace emberscope::host {
namespace {

using SecretList = std::span<const secrets::Secret>;

bool any_maskable(SecretList secrets) {
    for (const secrets::Secret& s : secrets)
        if (secrets::is_maskable(s.value)) return true;
    return false;
}

std::string bytes_data(RawObject* bytes) {
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

Object make_bytes(std::string_view data) {
    return Object::steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
}

// Byte offset in `utf8` of code point `index` (the end when beyond it), and back.
std::size_t byte_offset(std::string_view utf8, std::size_t index) {
    std::size_t pos = 0;
    for (std::size_t i = 0; i < index && pos < utf8.size(); ++i) utf8::next(utf8, pos);
    return pos;
}

std::size_t code_point_index(std::string_view utf8, std::size_t offset) {
    return utf8::length(utf8.substr(0, std::min(offset, utf8.size())));
}

std::optional<Object> masked_exception(const Object& exc, SecretList secrets, int depth);

// A masked copy of one value, or nullopt when masking changes nothing.
std::optional<Object> masked_copy(const Object& value, SecretList secrets, int depth) {
    RawObject* p = value.ptr();
    if (PyUnicode_CheckExact(p)) {
        const std::string original = value.text();
        std::string m = secrets::mask(original, secrets);
        if (m == original) return std::nullopt;
        return text(m);
    }
    if (PyBytes_CheckExact(p)) {
        const std::string original = bytes_data(p);
        std::string m = secrets::mask(original, secrets);
        if (m == original) return std::nullopt;
        return make_bytes(m);
    }
    if (depth > 16) return std::nullopt;  // deeper nesting is not what an error or record holds
    if (PyDict_CheckExact(p)) {
        bool changed = false;
        Object out = Object::steal(PyDict_New());
        for (auto& [k, v] : value.items()) {
            std::optional<Object> mk = masked_copy(k, secrets, depth + 1);
            std::optional<Object> mv = masked_copy(v, secrets, depth + 1);
            changed = changed || mk || mv;
            if (PyDict_SetItem(out.ptr(), (mk ? *mk : k).ptr(), (mv ? *mv : v).ptr()) < 0)
                throw_pending();
        }
        if (!changed) return std::nullopt;
        return out;
    }
    if (PyList_CheckExact(p) || PyTuple_CheckExact(p)) {
        const bool is_list = PyList_CheckExact(p);
        const Py_ssize_t n = is_list ? PyList_GET_SIZE(p) : PyTuple_GET_SIZE(p);
        bool changed = false;
        Object out = Object::steal(is_list ? PyList_New(n) : PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Object item = Object::borrow(is_list ? PyList_GET_ITEM(p, i) : PyTuple_GET_ITEM(p, i));
            std::optional<Object> m = masked_copy(item, secrets, depth + 1);
            changed = changed || m;
            RawObject* put = (m ? *m : item).release();
            if (is_list)
                PyList_SET_ITEM(out.ptr(), i, put);
            else
                PyTuple_SET_ITEM(out.ptr(), i, put);
        }
        if (!changed) return std::nullopt;
        return out;
    }
    if (PyExceptionInstance_Check(p)) return masked_exception(value, secrets, depth + 1);
    return std::nullopt;
}

// An instance of `cls` made from `args` (new exceptions only), or nullopt when the class
// refuses them.
std::optional<Object> build(const Object& cls, const Object& args) {
    RawObject* made = PyObject_Call(cls.ptr(), args.ptr(), nullptr);
    if (made == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    Object out = Object::steal(made);
    if (!PyExceptionInstance_Check(made)) return std::nullopt;
    return out;
}

bool str_is(const Object& exc, const std::string& message) {
    RawObject* s = PyObject_Str(exc.ptr());
    if (s == nullptr) {
        PyErr_Clear();
        return false;
    }
    Object text_form = Object::steal(s);
    return text_form.text() == message;
}

// A UnicodeError rebuilt around its masked `object`, with `start` and `end` moved to the same
// place in it (onto a mask when they pointed into a secret).
std::optional<Object> masked_unicode_error(const Object& exc, const Object& cls, SecretList secrets) {
    RawObject* p = exc.ptr();
    const bool translate = PyObject_TypeCheck(p, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeTranslateError));
    const bool encode_or_decode =
        PyObject_TypeCheck(p, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeEncodeError)) ||
        PyObject_TypeCheck(p, reinterpret_cast<PyTypeObject*>(PyExc_UnicodeDecodeError));
    if (!translate && !encode_or_decode) return std::nullopt;
    const Object object = exc.attr("object");
    const std::optional<std::int64_t> start = exc.attr("start").small_integer();
    const std::optional<std::int64_t> end = exc.attr("end").small_integer();
    if (!start || !end || *start < 0 || *end < *start) return std::nullopt;
    const bool is_bytes = PyBytes_Check(object.ptr());
    if (!is_bytes && !PyUnicode_Check(object.ptr())) return std::nullopt;
    const std::string data = is_bytes ? bytes_data(object.ptr()) : object.text();
    const secrets::Masked masked = secrets::mask_all(data, secrets);
    if (masked.replaced.empty()) return std::nullopt;

    std::size_t b = static_cast<std::size_t>(*start), e = static_cast<std::size_t>(*end);
    if (!is_bytes) {
        b = byte_offset(data, b);
        e = byte_offset(data, e);
    }
    auto [mb, me] = secrets::map_range(masked, b, e);
    if (!is_bytes) {
        mb = code_point_index(masked.text, mb);
        me = code_point_index(masked.text, me);
    }
    const Object new_object = is_bytes ? make_bytes(masked.text) : text(masked.text);
    Object reason = exc.attr("reason");
    if (std::optional<Object> m = masked_copy(reason, secrets, 0)) reason = *m;
    const Object from = integer(static_cast<std::int64_t>(mb));
    const Object to = integer(static_cast<std::int64_t>(me));
    if (translate) return build(cls, tuple({new_object, from, to, reason}));
    Object encoding = exc.attr("encoding");
    return build(cls, tuple({encoding, new_object, from, to, reason}));
}

std::optional<Object> masked_exception(const Object& exc, SecretList secrets, int depth) {
    const Object cls = Object::borrow(reinterpret_cast<RawObject*>(Py_TYPE(exc.ptr())));
    if (PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_UnicodeError))) {
        if (std::optional<Object> rebuilt = masked_unicode_error(exc, cls, secrets)) return rebuilt;
    }
    std::string message;
    {
        RawObject* s = PyObject_Str(exc.ptr());
        if (s == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        message = Object::steal(s).text();
    }
    const std::string masked_message = secrets::mask(message, secrets);
    const Object args = exc.attr("args");
    std::optional<Object> masked_args =
        PyTuple_Check(args.ptr()) ? masked_copy(args, secrets, depth) : std::nullopt;
    if (!masked_args && masked_message == message) return std::nullopt;

    // An OSError naming files keeps its number and its file names, masked.
    if (PyObject_TypeCheck(exc.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_OSError)) &&
        !exc.attr("filename").is_null()) {
        auto masked_or_same = [&](const Object& v) {
            std::optional<Object> m = masked_copy(v, secrets, depth);
            return m ? *m : v;
        };
        const Object full = tuple({exc.attr("errno"), masked_or_same(exc.attr("strerror")),
                                   masked_or_same(exc.attr("filename")), none(),
                                   masked_or_same(exc.attr("filename2"))});
        if (std::optional<Object> made = build(cls, full); made && str_is(*made, masked_message))
            return made;
    }
    // The same class, from its own arguments masked, when that gives the masked message.
    if (masked_args) {
        if (std::optional<Object> made = build(cls, *masked_args); made && str_is(*made, masked_message))
            return made;
    } else if (std::optional<Object> made = build(cls, args); made && str_is(*made, masked_message)) {
        return made;
    }
    // Classes whose arguments are not their message: the nearest one that takes the message
    // alone. BaseException always does.
    const Object alone = tuple({text(masked_message)});
    const Object mro = cls.attr("__mro__");
    for (std::size_t i = 0; i < mro.size(); ++i) {
        const Object base = mro.at(i);
        if (!PyType_Check(base.ptr()) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base.ptr()),
                              reinterpret_cast<PyTypeObject*>(PyExc_BaseException)))
            continue;
        if (std::optional<Object> made = build(base, alone); made && str_is(*made, masked_message))
            return made;
    }
    return Object::steal(PyObject_CallOneArg(PyExc_BaseException, text(masked_message).ptr()));
}

}  // namespace

Error::Error() : exc_(PyErr_GetRaisedException()) {
    if (exc_ == nullptr) {
        PyErr_SetString(PyExc_SystemError, "emberscope: error raised without a host exception");
        exc_ = PyErr_GetRaisedException();
    }
}

Error::Error(Error&& other) noexcept : exc_(std::exchange(other.exc_, nullptr)) {}

Error::~Error() { Py_XDECREF(exc_); }

void Error::restore() noexcept {
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
}

bool matches(const Error& error, const Object& cls) {
    return error.value() != nullptr && PyErr_GivenExceptionMatches(error.value(), cls.ptr());
}

bool is_exception_family(const Error& error) {
    return error.value() != nullptr && PyErr_GivenExceptionMatches(error.value(), PyExc_Exception);
}

bool is_os_error(const Error& error) {
    return error.value() != nullptr && PyErr_GivenExceptionMatches(error.value(), PyExc_OSError);
}

Object exception_value(const Error& error) { return Object::borrow(error.value()); }

std::string message_of(const Error& error) { return exception_value(error).str(); }

namespace {
std::string message_of_quietly(const Error& error) {
    RawObject* s = PyObject_Str(error.value());
    if (s == nullptr) {
        PyErr_Clear();
        return "";
    }
    return Object::steal(s).text();
}
}  // namespace

void throw_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw Error();
}

void throw_value_error(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw Error();
}

void throw_unbound_local_error(const std::string& message) {
    PyErr_SetString(PyExc_UnboundLocalError, message.c_str());
    throw Error();
}

void throw_pending() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "emberscope: a host call failed without an exception");
    throw Error();
}

Object masked_value(const Object& value, std::span<const secrets::Secret> secrets) {
    if (!any_maskable(secrets)) return value;
    std::optional<Object> m = masked_copy(value, secrets, 0);
    return m ? *m : value;
}

void rethrow_masked(Error&& error, std::span<const secrets::Secret> secrets) {
    if (!any_maskable(secrets) || error.value() == nullptr) throw std::move(error);
    std::optional<Object> replacement;
    try {
        replacement = masked_exception(exception_value(error), secrets, 0);
    } catch (Error&) {
        // Masking itself failed (a broken exception class): nothing of the original may leave.
        replacement = Object::steal(PyObject_CallOneArg(
            PyExc_BaseException, text(secrets::mask(message_of_quietly(error), secrets)).ptr()));
    }
    if (!replacement) throw std::move(error);
    PyErr_SetRaisedException(replacement->release());
    throw Error();
}

void throw_result_type_error(const char* expected, const Object& got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got.ptr())->tp_name);
    throw Error();
}

}  // namespace emberscope::host
