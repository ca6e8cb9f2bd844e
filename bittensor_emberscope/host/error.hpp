// Host exceptions carried through C++ code.
//
// A host::Error owns the host's exception (type, value, traceback) from the moment it is
// thrown until the module entry hands it back to the host unchanged, so an interrupt or an
// exit request is never turned into something else on the way.
#pragma once

#include <exception>
#include <string>

#include "host/object.hpp"

namespace emberscope::host {

/// A host exception in flight.
class Error : public std::exception {
public:
    /// Takes the host's pending exception (there must be one).
    Error();
    Error(const Error&) = delete;
    Error(Error&& other) noexcept;
    ~Error() override;

    const char* what() const noexcept override { return "host exception"; }
    /// Makes the exception pending again in the host; the Error is spent afterwards.
    void restore();
    /// True when the exception is an instance of the module-level or builtin class `cls`.
    bool matches(const Object& cls) const;
    bool matches_exception_family() const;  ///< the host's `Exception`
    bool matches_os_error() const;          ///< the host's `OSError`
    /// The exception object itself.
    Object value() const;
    /// str() of the exception: its message text.
    std::string message() const;

private:
    RawObject* exc_ = nullptr;
};

/// Throws a host TypeError / ValueError / other builtin exception with `message`.
[[noreturn]] void throw_type_error(const std::string& message);
[[noreturn]] void throw_value_error(const std::string& message);
[[noreturn]] void throw_unbound_local_error(const std::string& message);
/// Throws the host error that is pending now (after a failed API call).
[[noreturn]] void throw_pending();

/// The "Expected %s, got %.200s" type error of a result of the wrong kind.
[[noreturn]] void throw_result_type_error(const char* expected, const Object& got);

}  // namespace emberscope::host
