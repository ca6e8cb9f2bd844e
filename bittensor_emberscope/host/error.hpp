// Host exceptions carried through C++ code.
//
// A host exception travels as nanobind's python_error, which owns the interpreter's exception
// from the moment it is thrown until the module entry restores it, so an interrupt or an exit
// request reaches the host unchanged. Code catches it only to classify it.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

#include "host/object.hpp"

namespace emberscope::host {

/// A host exception in flight; constructing one takes the host's pending exception.
using Error = nanobind::python_error;

/// True when the exception is an instance of `cls` (a class or a tuple of classes).
bool matches(const Error& error, const Object& cls);
/// True for the host's `Exception` family (not interrupts and exit requests).
bool is_exception_family(const Error& error);
/// True for the host's `OSError` family.
bool is_os_error(const Error& error);
/// The exception object itself.
Object exception_value(const Error& error);
/// str() of the exception: its message text.
std::string message_of(const Error& error);

/// Throws a host TypeError / ValueError / UnboundLocalError with `message`.
[[noreturn]] void throw_type_error(const std::string& message);
[[noreturn]] void throw_value_error(const std::string& message);
[[noreturn]] void throw_unbound_local_error(const std::string& message);
/// Throws the host error that is pending now (after a failed API call).
[[noreturn]] void throw_pending();

/// The "Expected %s, got %.200s" type error of a result of the wrong kind.
[[noreturn]] void throw_result_type_error(const char* expected, const Object& got);

}  // namespace emberscope::host
