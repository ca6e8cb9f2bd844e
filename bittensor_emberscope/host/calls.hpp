// How a host call reaches an operation: parameters, argument binding and checks, errors.
//
// An operation is described by its name, its parameters (kind, positional or keyword-only,
// default) and a body taking the checked arguments. `dispatch` binds the host's positional and
// keyword values, rejects what does not fit with the host's usual type errors, runs the body
// with the module as its namespace, and hands any error back to the host unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>

#include "host/object.hpp"

namespace emberscope::host {

/// What a parameter accepts: a text (exact str only), a map (exact dict), a list (exact list),
/// a real (any number, as a double), a whole number (any number, truncated toward zero), or an
/// optional real (None, given as NaN, or any number; its default is None).
enum class ParamType { text, map, list, real, whole, optional_real };

struct Param {
    const char* name;
    ParamType type;
    bool keyword_only = false;
    bool has_default = false;
    const char* text_default = "";
    std::int64_t whole_default = 0;
};

/// A parameter without default.
constexpr Param required(const char* name, ParamType type) { return {name, type}; }
/// A required keyword-only parameter.
constexpr Param keyword(const char* name, ParamType type) { return {name, type, true}; }

/// The checked arguments of one call, by parameter position.
class Args {
public:
    struct Slot {
        Object object;
        std::string text;
        double real = 0.0;
        std::int64_t whole = 0;
    };
    explicit Args(std::size_t n) : slots_(n) {}
    const std::string& text(std::size_t i) const { return slots_[i].text; }
    const Object& object(std::size_t i) const { return slots_[i].object; }
    double real(std::size_t i) const { return slots_[i].real; }
    std::int64_t whole(std::size_t i) const { return slots_[i].whole; }
    Slot& slot(std::size_t i) { return slots_[i]; }

private:
    std::vector<Slot> slots_;
};

using Body = Object (*)(const Args&);

struct Operation {
    const char* name;
    std::span<const Param> params;
    Body body;
    const char* doc = nullptr;  ///< documentation text, or null
    /// Where the operation is declared: the position shown in the trace of its failures.
    std::source_location where = std::source_location::current();
};

/// The host-facing entry of every operation (vectorcall convention). Returns a new reference,
/// or null with the host's exception set.
RawObject* dispatch(const Operation& op, RawObject* module, RawObject* const* args,
                    std::ptrdiff_t nargs, RawObject* kwnames) noexcept;

/// The text signature of an operation ("name(a, b, *, c=6)\n--\n\n" followed by its
/// documentation), which the host turns into `__text_signature__` and `__doc__`.
std::string signature_doc(const Operation& op);

}  // namespace emberscope::host
