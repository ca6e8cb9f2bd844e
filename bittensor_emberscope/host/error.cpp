// Host exceptions in flight through C++ frames.
#include "host/error.hpp"

#include <Python.h>

#include <utility>

namespace emberscope::host {

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

void throw_result_type_error(const char* expected, const Object& got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got.ptr())->tp_name);
    throw Error();
}

}  // namespace emberscope::host
