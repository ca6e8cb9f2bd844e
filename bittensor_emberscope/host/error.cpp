// Host exceptions in flight through C++ frames.
#include "host/error.hpp"

#include <Python.h>

namespace emberscope::host {

Error::Error() : exc_(PyErr_GetRaisedException()) {
    if (exc_ == nullptr) {
        PyErr_SetString(PyExc_SystemError, "emberscope: error raised without a host exception");
        exc_ = PyErr_GetRaisedException();
    }
}

Error::Error(Error&& other) noexcept : exc_(std::exchange(other.exc_, nullptr)) {}

Error::~Error() { Py_XDECREF(exc_); }

void Error::restore() {
    PyErr_SetRaisedException(exc_);
    exc_ = nullptr;
}

bool Error::matches(const Object& cls) const {
    return exc_ != nullptr && PyErr_GivenExceptionMatches(exc_, cls.ptr());
}

bool Error::matches_exception_family() const {
    return exc_ != nullptr && PyErr_GivenExceptionMatches(exc_, PyExc_Exception);
}

bool Error::matches_os_error() const {
    return exc_ != nullptr && PyErr_GivenExceptionMatches(exc_, PyExc_OSError);
}

Object Error::value() const { return Object::borrow(exc_); }

std::string Error::message() const { return value().str(); }

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

void throw_pending() { throw Error(); }

void throw_result_type_error(const char* expected, const Object& got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got.ptr())->tp_name);
    throw Error();
}

}  // namespace emberscope::host
