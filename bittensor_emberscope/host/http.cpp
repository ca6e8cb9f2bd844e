// HTTP exchanges through the host's urllib.
#include "host/http.hpp"

#include <Python.h>

#include <utility>

#include "host/module.hpp"

namespace emberscope::host {
namespace {

Object urllib_part(const char* submodule, const char* name) {
    return global("urllib").attr(submodule).attr(name);
}

bool is_http_error(const Error& error) { return matches(error, urllib_part("error", "HTTPError")); }

// Closing after a failure must not replace the failure that is on its way out.
void close_after_failure(const Object& stream) noexcept {
    try {
        stream.attr("close").call();
    } catch (const Error&) {
    }
}

Object read_then_close(const Object& stream) {
    Object data;
    try {
        data = stream.attr("read").call();
    } catch (const Error&) {
        close_after_failure(stream);
        throw;
    }
    stream.attr("close").call();
    return data;
}

// An instance of `cls` made from `args`, when the class accepts them and the instance's text is
// `message`.
std::optional<Object> exception_with_text(const Object& cls, const Object& args,
                                          const std::string& message) {
    try {
        Object made = Object::steal(PyObject_Call(cls.ptr(), args.ptr(), nullptr));
        if (PyExceptionInstance_Check(made.ptr()) && made.str() == message) return made;
    } catch (const Error&) {
    }
    return std::nullopt;
}

[[noreturn]] void raise_instead(const Object& replacement) {
    PyErr_SetRaisedException(Object(replacement).release());
    throw Error();
}

}  // namespace

Object http_request(std::string_view url, const Object& headers) {
    return urllib_part("request", "Request").call({text(url)}, {{"headers", headers}});
}

Object http_request(std::string_view url, const Object& body, const Object& headers,
                    std::string_view method) {
    return urllib_part("request", "Request")
        .call({text(url)}, {{"data", body}, {"headers", headers}, {"method", text(method)}});
}

HttpOutcome http_exchange(const Object& request, std::int64_t timeout_seconds) {
    Object urlopen = urllib_part("request", "urlopen");
    Object response;
    try {
        response = urlopen.call({request}, {{"timeout", integer(timeout_seconds)}});
    } catch (const Error& e) {
        if (!is_http_error(e)) throw;
        return {Object(), exception_value(e)};
    }
    return {read_then_close(response), Object()};
}

std::optional<Object> read_error_body(const Object& http_error) {
    if (!http_error.attr("fp").truthy()) return std::nullopt;
    return read_then_close(http_error);
}

Object decode_utf8(const Object& data) { return data.attr("decode").call({text("utf-8")}); }

void rethrow_rewritten(Error&& error,
                       const std::function<std::string(const std::string&)>& rewrite) {
    const Object original = exception_value(error);
    std::string message;
    try {
        message = original.str();
    } catch (const Error&) {
        throw std::move(error);
    }
    const std::string rewritten = rewrite(message);
    if (rewritten == message) throw std::move(error);

    const Object cls = Object::borrow(reinterpret_cast<RawObject*>(Py_TYPE(original.ptr())));
    // The same class, built from its own arguments with every text among them rewritten.
    std::optional<Object> same_class;
    try {
        const Object args = original.attr("args");
        if (PyTuple_Check(args.ptr())) {
            const std::size_t n = args.size();
            Object fresh = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
            for (std::size_t i = 0; i < n; ++i) {
                Object item = args.at(i);
                if (item.kind() == Kind::text) item = text(rewrite(item.text()));
                PyTuple_SET_ITEM(fresh.ptr(), static_cast<Py_ssize_t>(i), item.release());
            }
            same_class = exception_with_text(cls, fresh, rewritten);
        }
    } catch (const Error&) {
    }
    if (same_class) raise_instead(*same_class);
    // Classes whose arguments are not their message: the nearest one that takes the message
    // alone. BaseException always does.
    const Object alone = tuple({text(rewritten)});
    const Object mro = cls.attr("__mro__");
    for (std::size_t i = 0; i < mro.size(); ++i) {
        const Object base = mro.at(i);
        if (!PyType_Check(base.ptr()) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(base.ptr()),
                              reinterpret_cast<PyTypeObject*>(PyExc_BaseException)))
            continue;
        if (auto made = exception_with_text(base, alone, rewritten)) raise_instead(*made);
    }
    raise_instead(Object::steal(PyObject_CallOneArg(PyExc_BaseException, text(rewritten).ptr())));
}

}  // namespace emberscope::host
