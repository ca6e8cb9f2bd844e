// Host value handle: the only place where values are taken apart or built.
#include "host/object.hpp"

#include <Python.h>

#include <cstring>

#include "host/error.hpp"

namespace emberscope::host {

namespace nb = nanobind;

// The module is not a nanobind-defined module, so nanobind's internals (type registry,
// interned names, its exception release) are never set up: only its reference-counting handles
// are used here, and every call that can fail goes through the C API, failing as host::Error.

void Object::throw_pending_error() { throw_pending(); }

Kind Object::kind() const {
    if (ptr() == Py_None) return Kind::null;
    if (PyBool_Check(ptr())) return Kind::boolean;
    if (PyLong_Check(ptr())) return Kind::integer;
    if (PyFloat_Check(ptr())) return Kind::real;
    if (PyUnicode_Check(ptr())) return Kind::text;
    if (PyList_Check(ptr())) return Kind::list;
    if (PyDict_Check(ptr())) return Kind::map;
    return Kind::other;
}

bool Object::is_tuple() const { return PyTuple_Check(ptr()); }

bool Object::truthy() const {
    int r = PyObject_IsTrue(ptr());
    if (r < 0) throw_pending();
    return r == 1;
}

std::string Object::type_name() const { return Py_TYPE(ptr())->tp_name; }

std::string Object::text() const {
    // The interpreter keeps a UTF-8 copy of a text once asked for it; only a text holding lone
    // surrogates (which strict UTF-8 refuses) needs an encoding of its own.
    std::string_view utf8;
    if (utf8_view(ptr(), utf8)) return std::string(utf8);
    Object bytes = steal(PyUnicode_AsEncodedString(ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
}

std::string Object::str() const { return steal(PyObject_Str(ptr())).text(); }

std::string Object::repr() const { return steal(PyObject_Repr(ptr())).text(); }

double Object::real() const {
    double v = PyFloat_AsDouble(ptr());
    if (v == -1.0 && PyErr_Occurred()) throw_pending();
    return v;
}

std::string Object::integer_text() const {
    // int.__repr__ of the plain value: a bool subclass renders as 0 or 1.
    Object plain = steal(PyNumber_Long(ptr()));
    return steal(PyLong_Type.tp_repr(plain.ptr())).text();
}

std::optional<std::int64_t> Object::small_integer() const {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw_pending();
    if (overflow != 0) return std::nullopt;
    return static_cast<std::int64_t>(v);
}

Object Object::attr(const char* name) const { return steal(PyObject_GetAttrString(ptr(), name)); }

Object Object::call(std::initializer_list<Object> args) const {
    std::vector<PyObject*> raw;
    raw.reserve(args.size());
    for (const Object& a : args) raw.push_back(a.ptr());
    return steal(PyObject_Vectorcall(ptr(), raw.data(), raw.size(), nullptr));
}

Object Object::call(std::initializer_list<Object> args,
                    std::initializer_list<std::pair<const char*, Object>> kwargs) const {
    std::vector<PyObject*> raw;
    raw.reserve(args.size() + kwargs.size());
    for (const Object& a : args) raw.push_back(a.ptr());
    Object names = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t i = 0;
    for (const auto& [name, value] : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), i++, steal(PyUnicode_FromString(name)).release());
        raw.push_back(value.ptr());
    }
    return steal(PyObject_Vectorcall(ptr(), raw.data(), args.size(), names.ptr()));
}

std::optional<Object> Object::get(std::string_view key) const { return get(host::text(key)); }

std::optional<Object> Object::get(const Object& key) const {
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(ptr(), key.ptr(), &found);
    if (r < 0) throw_pending();
    if (r == 0) return std::nullopt;
    return steal(found);
}

void Object::set(std::string_view key, const Object& value) const {
    Object k = host::text(key);
    if (PyObject_SetItem(ptr(), k.ptr(), value.ptr()) < 0) throw_pending();
}

std::vector<std::pair<Object, Object>> Object::items() const {
    std::vector<std::pair<Object, Object>> out;
    nb::dict map = nb::borrow<nb::dict>(obj_);
    out.reserve(map.size());
    for (auto [key, value] : map) out.emplace_back(borrow(key.ptr()), borrow(value.ptr()));
    return out;
}

std::size_t Object::size() const {
    const Py_ssize_t n = PyObject_Size(ptr());
    if (n < 0) throw_pending();
    return static_cast<std::size_t>(n);
}

Object Object::at(std::size_t index) const {
    return steal(PySequence_GetItem(ptr(), static_cast<Py_ssize_t>(index)));
}

void Object::append(const Object& value) const {
    if (PyList_Append(ptr(), value.ptr()) < 0) throw_pending();
}

Object none() { return Object::borrow(Py_None); }
Object boolean(bool value) { return Object::borrow(value ? Py_True : Py_False); }
Object integer(std::int64_t value) { return Object::steal(PyLong_FromLongLong(value)); }
Object real(double value) { return Object::steal(PyFloat_FromDouble(value)); }

Object ascii_text(std::string_view ascii) {
    PyObject* out = PyUnicode_New(static_cast<Py_ssize_t>(ascii.size()), 127);
    if (out == nullptr) throw_pending();
    std::memcpy(PyUnicode_DATA(out), ascii.data(), ascii.size());
    return Object::steal(out);
}

Object text(std::string_view utf8) {
    bool ascii = true;
    for (const char c : utf8) ascii &= static_cast<unsigned char>(c) < 0x80;
    if (ascii) return ascii_text(utf8);
    return Object::steal(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                              "surrogatepass"));
}

Object tuple(std::initializer_list<Object> items) {
    Object t = Object::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (const Object& item : items) PyTuple_SET_ITEM(t.ptr(), i++, Object(item).release());
    return t;
}

Object new_map() { return Object::steal(PyDict_New()); }
Object new_list() { return Object::steal(PyList_New(0)); }

Object text_list(const std::vector<std::string>& items) {
    Object list = Object::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), text(items[i]).release());
    return list;
}

}  // namespace emberscope::host
