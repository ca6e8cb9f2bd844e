// A handle on one host value, and the conversions between host values and core types.
//
// Operation code works with host values only through this handle (a nanobind object); the pure
// core never sees them. Texts cross as UTF-8 with lone surrogates kept (see common/utf8.hpp).
// Every failure of the host surfaces as a thrown host::Error carrying the host's exception.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace emberscope::host {

using RawObject = PyObject;

/// The kinds of value a JSON document decodes to, plus everything else.
enum class Kind { null, boolean, integer, real, text, list, map, other };

/// An owned reference to a host value; an empty handle holds nothing.
class Object {
public:
    Object() = default;
    explicit Object(nanobind::object obj) : obj_(std::move(obj)) {}

    /// Takes over a new reference (throws the pending host error when `p` is null).
    static Object steal(RawObject* p) {
        if (p == nullptr) throw_pending_error();
        return Object(nanobind::steal(p));
    }
    /// Adds a reference to a borrowed value.
    static Object borrow(RawObject* p) { return Object(nanobind::borrow(p)); }

    RawObject* ptr() const { return obj_.ptr(); }
    RawObject* release() { return obj_.release().ptr(); }
    bool empty() const { return !obj_.is_valid(); }
    const nanobind::object& handle() const { return obj_; }

    Kind kind() const;
    bool is_null() const { return kind() == Kind::null; }
    /// True for a tuple (or an instance of a subclass of tuple).
    bool is_tuple() const;
    /// The host's truth test (null, false, zero, empty texts and containers are false).
    bool truthy() const;
    /// The host's type name of the value ("str", "NoneType", ...).
    std::string type_name() const;
    /// The value of a text (Kind::text only).
    std::string text() const;
    /// str() and repr() of the value.
    std::string str() const;
    std::string repr() const;
    /// The value of a real (Kind::real) or of an integer (converted).
    double real() const;
    /// Decimal digits of an integer, '-' first when negative (Kind::integer or boolean).
    std::string integer_text() const;
    /// An integer that fits in 64 bits; nullopt when it does not.
    std::optional<std::int64_t> small_integer() const;

    /// Attribute look-up: `obj.name`.
    Object attr(const char* name) const;
    /// Calls the value with positional arguments.
    Object call(std::initializer_list<Object> args = {}) const;
    /// Calls the value with positional and keyword arguments.
    Object call(std::initializer_list<Object> args,
                std::initializer_list<std::pair<const char*, Object>> kwargs) const;

    // Maps (Kind::map).
    /// The member `key`, or nullopt when absent.
    std::optional<Object> get(std::string_view key) const;
    /// The same with a key made once by the caller (for look-ups repeated over many maps).
    std::optional<Object> get(const Object& key) const;
    bool contains(std::string_view key) const { return get(key).has_value(); }
    void set(std::string_view key, const Object& value) const;
    /// The members in their order.
    std::vector<std::pair<Object, Object>> items() const;

    // Lists (Kind::list).
    std::size_t size() const;
    Object at(std::size_t index) const;
    void append(const Object& value) const;

private:
    [[noreturn]] static void throw_pending_error();
    nanobind::object obj_;
};

/// A view of the UTF-8 form of a text (a str), read in place for an ASCII text and from the
/// interpreter's UTF-8 copy otherwise; false, with no error pending, for a text holding lone
/// surrogates (which strict UTF-8 refuses). Valid while the text lives.
inline bool utf8_view(RawObject* text, std::string_view& out) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

Object none();
Object boolean(bool value);
Object integer(std::int64_t value);
Object real(double value);
Object text(std::string_view utf8);
/// A text of ASCII characters only. REQUIRES: every byte of `ascii` below 0x80.
Object ascii_text(std::string_view ascii);
Object tuple(std::initializer_list<Object> items);
Object new_map();
Object new_list();
/// A list of texts.
Object text_list(const std::vector<std::string>& items);

}  // namespace emberscope::host
