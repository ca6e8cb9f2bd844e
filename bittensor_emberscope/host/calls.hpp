// How a host call reaches an operation: parameters, argument binding and checks, errors.
//
// An operation is described by its name, its parameters (kind, positional or keyword-only,
// default) and a body taking the checked arguments. `dispatch` binds the host's positional and
// keyword values, rejects what does not fit with the host's usual type errors, runs the body
// with the module as its namespace, and hands any error back to the host unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "host/object.hpp"

namespace emberscope::host {

/// What a parameter accepts: a text (exact str only), a map (exact dict), a list (exact list),
/// a real (any number, as a double), a whole number (any number, truncated toward zero), or an
/// optional real (None, given as NaN, or any number; its default is None). A list with a default
/// also takes None, its default (read with `raw`).
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

/// The most parameters an operation may have.
inline constexpr std::size_t kMaxParams = 12;

/// A parameter's name as a template argument: `args.text<kParams, "path">()`.
template <std::size_t N>
struct ParamName {
    char chars[N];
    consteval ParamName(const char (&name)[N]) {
        for (std::size_t i = 0; i < N; ++i) chars[i] = name[i];
    }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

/// The position of the parameter `name` in `params`, checked while compiling: a name that is
/// not in the list, or a parameter of another type than `type`, does not compile.
template <std::size_t N>
consteval std::size_t param_index(const Param (&params)[N], std::string_view name, ParamType type) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::string_view(params[i].name) != name) continue;
        if (params[i].type != type) throw "the parameter has another type";
        return i;
    }
    throw "no parameter of that name";
}

/// The checked arguments of one call, read by parameter name. Binding allocates nothing and
/// takes no references: the values are the caller's own (borrowed for the call), texts are views
/// of the interpreter's UTF-8 copy (only a text holding lone surrogates needs a copy of its own).
class Args {
public:
    struct Slot {
        RawObject* object;      ///< the argument itself (borrowed); null for a default
        std::string_view text;
        double real;
        std::int64_t whole;
    };

    Args() = default;
    Args(const Args&) = delete;
    Args& operator=(const Args&) = delete;

    template <const auto& Params, ParamName Name>
    std::string_view text() const {
        return slots_[param_index(Params, Name.view(), ParamType::text)].text;
    }
    template <const auto& Params, ParamName Name>
    double real() const {
        return slots_[param_index(Params, Name.view(), ParamType::real)].real;
    }
    template <const auto& Params, ParamName Name>
    std::int64_t whole() const {
        return slots_[param_index(Params, Name.view(), ParamType::whole)].whole;
    }
    /// An optional real: nullopt for None or the default.
    template <const auto& Params, ParamName Name>
    std::optional<double> optional_real() const {
        const Slot& slot = slots_[param_index(Params, Name.view(), ParamType::optional_real)];
        if (slot.object == nullptr || slot.object == Py_None) return std::nullopt;
        return slot.real;
    }
    /// The host value of a map or list argument.
    template <const auto& Params, ParamName Name>
    Object object() const {
        constexpr std::size_t i = object_index(Params, Name.view());
        return Object::borrow(slots_[i].object);
    }
    /// The host value of a text or number given by the caller (empty for a default).
    template <const auto& Params, ParamName Name>
    Object given() const {
        RawObject* value = slots_[index_any(Params, Name.view())].object;
        return value == nullptr ? Object() : Object::borrow(value);
    }
    /// The host value of an argument without a reference of its own (null for a default):
    /// valid for the call.
    template <const auto& Params, ParamName Name>
    RawObject* raw() const {
        return slots_[index_any(Params, Name.view())].object;
    }

    Slot& slot(std::size_t i) { return slots_[i]; }
    /// Storage for a text the interpreter holds no UTF-8 copy of; stays put for the call.
    std::string_view keep(std::string text);

private:
    template <std::size_t N>
    static consteval std::size_t index_any(const Param (&params)[N], std::string_view name) {
        for (std::size_t i = 0; i < N; ++i)
            if (std::string_view(params[i].name) == name) return i;
        throw "no parameter of that name";
    }
    template <std::size_t N>
    static consteval std::size_t object_index(const Param (&params)[N], std::string_view name) {
        const std::size_t i = index_any(params, name);
        if (params[i].type != ParamType::map && params[i].type != ParamType::list)
            throw "not a map or list parameter";
        return i;
    }

    std::array<Slot, kMaxParams> slots_;  // only the operation's own are filled
    std::forward_list<std::string> own_texts_;
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
