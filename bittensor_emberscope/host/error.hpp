// Host exceptions carried through C++ code.
//
// A host::Error owns the interpreter's exception from the moment it is thrown until the module
// entry restores it, so an interrupt or an exit request reaches the host unchanged. Code catches
// it only to classify it. (nanobind's python_error would do the same, but it releases its
// exception only once nanobind's own module machinery is set up, which this module does not
// use: every caught error would leak.)
#pragma once

#include <exception>
#include <span>
#include <string>

#include "common/secrets.hpp"
#include "host/object.hpp"

namespace emberscope::host {

/// A host exception in flight; constructing one takes the host's pending exception.
class Error : public std::exception {
public:
    Error();
    Error(const Error&) = delete;
    Error(Error&& other) noexcept;
    ~Error() override;

    const char* what() const noexcept override { return "host exception"; }
    /// Makes the exception pending again in the host; the Error is spent afterwards.
    void restore() noexcept;
    /// The exception object (borrowed).
    RawObject* value() const noexcept { return exc_; }

private:
    RawObject* exc_ = nullptr;
};

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

/// `value` with every secret masked in every text inside it: a str, a bytes, and the keys and
/// members of dicts and lists, recursively (new containers; `value` itself is left as it is).
/// Other values are returned unchanged.
Object masked_value(const Object& value, std::span<const secrets::Secret> secrets);

/// Throws `error` again with every secret masked wherever the host can show it: in its message,
/// in its `args` (texts, bytes and nested exceptions) and, for a UnicodeError, in its `object`
/// (with `start` and `end` moved along). When anything changes, an exception of the same class
/// is raised in its place with nothing of the original chained to it (the nearest base class
/// that takes the masked message alone when the class cannot be rebuilt from its arguments).
/// Otherwise `error` itself is thrown.
[[noreturn]] void rethrow_masked(Error&& error, std::span<const secrets::Secret> secrets);

/// The "Expected %s, got %.200s" type error of a result of the wrong kind.
[[noreturn]] void throw_result_type_error(const char* expected, const Object& got);

}  // namespace emberscope::host
