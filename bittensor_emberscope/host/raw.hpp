// Borrowed-value fast paths for the adapters: exact type tests and direct reads of host values,
// so that adapter code never names the interpreter's own API. Every function here takes a
// borrowed value that the caller keeps alive for the duration of the call.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "host/error.hpp"
#include "host/object.hpp"

namespace emberscope::host::raw {

/// Exact type tests (a subclass answers false).
inline bool is_text(RawObject* v) { return PyUnicode_CheckExact(v); }
inline bool is_int(RawObject* v) { return PyLong_CheckExact(v); }
inline bool is_float(RawObject* v) { return PyFloat_CheckExact(v); }
inline bool is_dict(RawObject* v) { return PyDict_CheckExact(v); }
inline bool is_list(RawObject* v) { return PyList_CheckExact(v); }
inline bool is_tuple(RawObject* v) { return PyTuple_CheckExact(v); }

/// REQUIRES: is_float(v).
inline double float_value(RawObject* v) { return PyFloat_AS_DOUBLE(v); }
/// The length of a text in code points, as the interpreter keeps it. REQUIRES: is_text(v).
inline std::size_t text_length(RawObject* v) { return static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)); }
/// REQUIRES: is_list(v) / is_tuple(v) / is_dict(v).
inline std::size_t list_size(RawObject* v) { return static_cast<std::size_t>(PyList_GET_SIZE(v)); }
inline std::size_t tuple_size(RawObject* v) { return static_cast<std::size_t>(PyTuple_GET_SIZE(v)); }
inline std::size_t dict_size(RawObject* v) { return static_cast<std::size_t>(PyDict_GET_SIZE(v)); }
/// The items of a list or tuple in place (borrowed). REQUIRES: is_list(v) / is_tuple(v).
inline RawObject* const* list_items(RawObject* v) { return &PyList_GET_ITEM(v, 0); }
inline RawObject* const* tuple_items(RawObject* v) { return &PyTuple_GET_ITEM(v, 0); }
inline RawObject* list_item(RawObject* v, std::size_t i) {
    return PyList_GET_ITEM(v, static_cast<Py_ssize_t>(i));
}

/// The next member of a dict (borrowed key and value); false after the last. `pos` starts at 0.
/// REQUIRES: is_dict(v), and no change to the dict during the walk.
inline bool dict_next(RawObject* v, std::ptrdiff_t& pos, RawObject*& key, RawObject*& value) {
    Py_ssize_t p = pos;
    const bool more = PyDict_Next(v, &p, &key, &value) != 0;
    pos = p;
    return more;
}
/// The member of `dict` under `key` (borrowed), or null when absent; a failing key comparison
/// throws the host's error. REQUIRES: is_dict(dict).
inline RawObject* dict_find(RawObject* dict, RawObject* key) {
    RawObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw_pending();
    return found;
}

/// dict[key] = value. REQUIRES: is_dict(dict).
inline void dict_set(const Object& dict, const Object& key, const Object& value) {
    if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw_pending();
}

/// A new empty dict with room for `expected` members before it grows.
inline Object new_map(std::size_t expected) {
    return Object::steal(_PyDict_NewPresized(static_cast<Py_ssize_t>(expected)));
}

/// The value of an exact integer that fits in 64 bits; nullopt otherwise. REQUIRES: is_int(v).
inline std::optional<std::int64_t> int64_value(RawObject* v) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    return n;
}

/// A new list of `n` empty places, to be filled with `set_new_item` before any other use.
inline Object new_list(std::size_t n) { return Object::steal(PyList_New(static_cast<Py_ssize_t>(n))); }
/// Puts a new reference to `item` at place `i` of a list made by new_list.
inline void set_new_item(const Object& list, std::size_t i, RawObject* item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
}
/// Puts `item`, taking over its reference, at place `i` of a list made by new_list.
inline void set_item(const Object& list, std::size_t i, Object item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item.release());
}
/// The tuple (a, b, c) of new references.
inline Object tuple3(RawObject* a, RawObject* b, RawObject* c) {
    Object t = Object::steal(PyTuple_New(3));
    PyTuple_SET_ITEM(t.ptr(), 0, Py_NewRef(a));
    PyTuple_SET_ITEM(t.ptr(), 1, Py_NewRef(b));
    PyTuple_SET_ITEM(t.ptr(), 2, Py_NewRef(c));
    return t;
}

}  // namespace emberscope::host::raw
